#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "values/RecordStore.h"

namespace ado {
namespace {

TEST(RecordStore, EveryValueTypeReadsBackAsStored) {
  RecordStore store(1);
  const Decimal big = *Decimal::Parse("-12345678901234567890.123456789012345678");
  const Variant values[] = {
      Variant(),
      Variant::Null(),
      Variant::Integer(VarType::kI1, -5),
      Variant::Integer(VarType::kUI2, 65535),
      Variant(int32_t{-2000000000}),
      Variant(int64_t{INT64_MIN}),
      Variant::UnsignedInteger(UINT64_MAX),
      Variant::Single(1.5f),
      Variant(0.1),
      Variant(Currency{-123456789}),
      Variant(Date{45000.75}),
      Variant(true),
      Variant(false),
      Variant(std::string("Soße €")),
      Variant(std::string()),
      Variant(big),
      Variant(Bytes{0x00, 0xFF, 0x10}),
      Variant(Array{1, {Variant(int32_t{1}), Variant("x")}}),
  };
  for (const Variant& v : values) {
    const size_t r = store.AppendRecord();
    store.Set(r, 0, v);
    EXPECT_EQ(store.Get(r, 0), v) << v.TypeName();
    EXPECT_EQ(store.TypeAt(r, 0), v.Type()) << v.TypeName();
  }
  // Empty text and null stay distinct, and a decimal keeps its scale.
  EXPECT_EQ(store.TypeAt(14, 0), VarType::kString);
  EXPECT_EQ(store.Get(15, 0).AsDecimal().scale(), 18);
}

TEST(RecordStore, TypedSettersMatchTypedGetters) {
  RecordStore store(3);
  const size_t r = store.AppendRecord(adRecNew);
  store.SetInteger(r, 0, VarType::kI2, -7);
  store.SetDouble(r, 1, VarType::kR8, 2.25);
  store.SetText(r, 2, "abc");
  EXPECT_EQ(store.IntAt(r, 0), -7);
  EXPECT_EQ(store.DoubleAt(r, 1), 2.25);
  EXPECT_EQ(store.TextAt(r, 2), "abc");
  EXPECT_EQ(store.Status(r), adRecNew);
  store.SetBool(r, 0, true);
  EXPECT_EQ(store.IntAt(r, 0), 1);
  store.SetStatus(r, adRecModified);
  EXPECT_EQ(store.Status(r), adRecModified);
  EXPECT_EQ(store.AppendRecord(), 1u);
  EXPECT_EQ(store.Status(1), adRecUnmodified);
  EXPECT_EQ(store.TypeAt(1, 2), VarType::kEmpty);
}

TEST(RecordStore, StoredTextsStayPutWhileTheArenaGrows) {
  RecordStore store(1);
  store.AppendRecord();
  store.SetText(0, 0, "first");
  const char* first = store.TextAt(0, 0).data();
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 3000; ++i) store.SetText(store.AppendRecord(), 0, chunk);  // ~3 MiB
  const std::string huge(3u << 20, 'h');  // bigger than a block
  const size_t big = store.AppendRecord();
  store.SetText(big, 0, huge);
  store.SetText(store.AppendRecord(), 0, "after");
  EXPECT_EQ(store.TextAt(0, 0).data(), first);
  EXPECT_EQ(store.TextAt(0, 0), "first");
  EXPECT_EQ(store.TextAt(1500, 0), chunk);
  EXPECT_EQ(store.TextAt(big, 0), huge);
  EXPECT_EQ(store.TextAt(big + 1, 0), "after");
}

TEST(RecordStore, AppendFieldKeepsValuesAndOriginals) {
  RecordStore store(2);
  for (int i = 0; i < 3; ++i) {
    const size_t r = store.AppendRecord();
    store.SetInteger(r, 0, VarType::kI4, i);
    store.SetText(r, 1, "t" + std::to_string(i));
  }
  store.KeepOriginal(1);
  store.AppendField();
  ASSERT_EQ(store.FieldCount(), 3u);
  for (size_t r = 0; r < 3; ++r) {
    EXPECT_EQ(store.IntAt(r, 0), static_cast<int64_t>(r));
    EXPECT_EQ(store.TextAt(r, 1), "t" + std::to_string(r));
    EXPECT_EQ(store.TypeAt(r, 2), VarType::kEmpty);
  }
  ASSERT_EQ(store.Original(1).size(), 3u);
  store.SetText(0, 2, "new");
  EXPECT_EQ(store.TextAt(0, 2), "new");
}

TEST(RecordStore, OriginalIsTakenOnceAndDropped) {
  RecordStore store(1);
  store.AppendRecord();
  store.AppendRecord();
  store.SetText(0, 0, "before");
  store.SetText(1, 0, "other");
  EXPECT_FALSE(store.HasOriginal(0));
  store.KeepOriginal(0);
  store.SetText(0, 0, "after");
  store.KeepOriginal(0);  // already kept: the first values stay
  ASSERT_TRUE(store.HasOriginal(0));
  EXPECT_EQ(store.Original(0)[0], Variant("before"));
  EXPECT_EQ(store.Get(0, 0), Variant("after"));
  store.KeepOriginal(1);
  store.DropOriginal(0);
  EXPECT_FALSE(store.HasOriginal(0));
  EXPECT_TRUE(store.HasOriginal(1));
  store.DropAllOriginals();
  EXPECT_FALSE(store.HasOriginal(1));
}

TEST(RecordStore, MoveTransfersDataAndLeavesAnEmptyStore) {
  RecordStore a(2);
  a.AppendRecord();
  a.SetText(0, 1, "kept");
  a.KeepOriginal(0);
  RecordStore b(std::move(a));
  EXPECT_EQ(b.TextAt(0, 1), "kept");
  EXPECT_TRUE(b.HasOriginal(0));
  EXPECT_EQ(a.RecordCount(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(a.FieldCount(), 0u);
  a = RecordStore(1);
  a.SetText(a.AppendRecord(), 0, "reused");
  EXPECT_EQ(a.TextAt(0, 0), "reused");
  EXPECT_EQ(b.TextAt(0, 1), "kept");
  RecordStore c;
  c = std::move(b);
  EXPECT_EQ(c.TextAt(0, 1), "kept");
  EXPECT_EQ(b.RecordCount(), 0u);  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace ado
