#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "ado/Recordset.h"
#include "core/Error.h"
#include "xmlformat/XmlTestSupport.h"

namespace ado {
namespace {

using qv::test::TestFolder;
using xml_test::SamplePath;

// Opens a file as the program's store does: client cursor, properties set before Open.
void OpenFile(Recordset& rs, const std::string& path, int32_t lock_type = adLockOptimistic) {
  rs.SetCursorLocation(adUseClient);
  rs.SetSource(path);
  rs.SetCursorType(adOpenDynamic);
  rs.SetLockType(lock_type);
  rs.Open(Variant(), nullptr, adOpenUnspecified, adLockUnspecified, -1);
}

TEST(RecordsetFile, MissingFileLeavesTheRecordsetClosed) {
  TestFolder folder;
  Recordset rs;
  try {
    OpenFile(rs, folder.File("missing.xml"));
    FAIL() << "opened a missing file";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), core::kErrFileNotFound);
  }
  EXPECT_EQ(rs.State(), adStateClosed);
}

TEST(RecordsetFile, SampleOpensOnItsFirstRecordAndTakesEdits) {
  Recordset rs;
  OpenFile(rs, SamplePath("F04-jet40-winmss-CLUB-nulls.xml"));
  ASSERT_EQ(rs.State(), adStateOpen);
  EXPECT_FALSE(rs.Eof());
  EXPECT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.LockType(), adLockOptimistic);
  EXPECT_EQ(rs.Fields().Item("clubid").Value().ToLong(), 1);
  EXPECT_EQ(rs.Fields().Item("Club").Value(), Variant("EXTREME SQUAD"));
  EXPECT_TRUE(rs.Fields().Item("Contact").Value().IsNull());
  rs.Fields().Item("Contact").SetValue(Variant("Ann"));
  rs.Update();
  EXPECT_EQ(rs.Status(), adRecUnmodified);  // adLockOptimistic commits at once
  rs.SetFilter("Club = 'extreme squad'");
  EXPECT_EQ(rs.RecordCount(), 1);
}

TEST(RecordsetFile, SavedPendingChangesReopenAsPending) {
  TestFolder folder;
  const std::string path = folder.File("pending.xml");
  {
    Recordset rs;
    rs.Fields().Append("tSID", adVarWChar, 20);
    rs.Fields().Append("nQty", adInteger);
    rs.Open();
    for (const char* key : {"a", "b'c"}) {
      rs.AddNew();
      rs.Fields().Item("tSID").SetValue(Variant(key));
      rs.Fields().Item("nQty").SetValue(Variant("7"));
      rs.Update();
    }
    rs.SaveToFile(path);
  }
  Recordset rs;
  OpenFile(rs, path, adLockUnspecified);
  EXPECT_EQ(rs.LockType(), adLockBatchOptimistic);
  EXPECT_EQ(rs.RecordCount(), 2);
  EXPECT_EQ(rs.Status(), adRecNew);
  EXPECT_EQ(rs.Fields().Item("nQty").Type(), adInteger);
  rs.SetFilter("tSID = 'B''C'");
  ASSERT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.Fields().Item("nQty").Value().ToLong(), 7);
}

TEST(RecordsetFile, SaveToStreamReadsBackInChunks) {
  TestFolder folder;
  Recordset rs;
  rs.Fields().Append("Name", adVarWChar, 20);
  rs.Open();
  rs.AddNew();
  rs.Fields().Item("Name").SetValue(Variant("Zoë €"));
  rs.UpdateBatch();
  Stream stream;
  rs.Save(stream, adPersistXML);
  EXPECT_EQ(stream.Position(), stream.Size());
  stream.SetPosition(0);
  std::string text;
  while (!stream.EOS()) text += stream.ReadText(7);
  EXPECT_EQ(text, stream.Data());
  EXPECT_NE(text.find("Zoë €"), std::string::npos);
  EXPECT_EQ(text.find("rs:insert"), std::string::npos);  // committed by UpdateBatch
  try {
    rs.Save(stream, adPersistADTG);
    FAIL() << "saved in a binary format";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), core::kErrFeatureNotAvailable);
  }

  const std::string path = folder.File("stream.xml");
  std::ofstream(path, std::ios::binary) << text;
  Recordset reopened;
  OpenFile(reopened, path);
  EXPECT_EQ(reopened.Fields().Item("Name").Value(), Variant("Zoë €"));
  EXPECT_EQ(reopened.Status(), adRecUnmodified);
}

TEST(RecordsetFile, EmptyRecordsetReopensAtBothEnds) {
  TestFolder folder;
  const std::string path = folder.File("empty.xml");
  Recordset rs;
  rs.Fields().Append("n", adDouble);
  rs.Open();
  rs.SaveToFile(path);
  Recordset reopened;
  OpenFile(reopened, path);
  EXPECT_TRUE(reopened.Bof());
  EXPECT_TRUE(reopened.Eof());
  EXPECT_EQ(reopened.Fields().Item("n").Type(), adDouble);
}

}  // namespace
}  // namespace ado
