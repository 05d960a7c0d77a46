#include "records/CQvDataTypeConverter.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/Error.h"
#include "shared/LogCapture.h"
#include "shared/QvSharedRegistry.h"

namespace qv {
namespace {

using test::LogCapture;

// A directory time stamp as an object with HighPart and LowPart.
class LargeInteger : public ado::Object {
 public:
  LargeInteger(int32_t high, int32_t low) : high_(high), low_(low) {}
  explicit LargeInteger(int64_t intervals)
      : high_(static_cast<int32_t>(intervals >> 32)),
        low_(static_cast<int32_t>(static_cast<uint32_t>(intervals & 0xFFFFFFFF))) {}
  std::string TypeName() const override { return "IADsLargeInteger"; }
  ado::Variant GetProperty(std::string_view name) const override {
    if (name == "HighPart") return ado::Variant(high_);
    if (name == "LowPart") return ado::Variant(low_);
    throw core::Error(core::kErrPropertyNotSupported, "LargeInteger", "no such property");
  }

 private:
  int32_t high_;
  int32_t low_;
};

ado::Variant Stamp(int32_t high, int32_t low) {
  return ado::Variant(std::shared_ptr<ado::Object>(std::make_shared<LargeInteger>(high, low)));
}

// 100-nanosecond intervals from 1601-01-01 to the given Unix time.
ado::Variant StampAtUnixTime(int64_t unix_seconds) {
  const int64_t intervals = (unix_seconds + 11644473600LL) * 10000000LL;
  return ado::Variant(std::shared_ptr<ado::Object>(std::make_shared<LargeInteger>(intervals)));
}

constexpr int64_t k20150101Noon = 1420113600;  // 2015-01-01 12:00:00 UTC

// Makes the registry answer the bias with a fixed value and counts the reads.
class FixedBias {
 public:
  explicit FixedBias(ado::Variant bias) {
    previous_ = QvSharedRegistry::Instance().SetReader(
        [this, bias](uint32_t, const std::string&, const std::string&, const std::string& name) {
          ++reads_;
          return name == "ActiveTimeBias" ? bias : ado::Variant();
        });
  }
  ~FixedBias() { QvSharedRegistry::Instance().SetReader(previous_); }
  int reads() const { return reads_; }

 private:
  QvSharedRegistry::Reader previous_;
  int reads_ = 0;
};

ado::Variant Bytes(std::initializer_list<uint8_t> bytes) { return ado::Variant(ado::Bytes(bytes)); }

TEST(CQvDataTypeConverter, SidBytesGiveTheirTextForm) {
  CQvDataTypeConverter converter;
  EXPECT_EQ(converter.ObjSidToStrSid(
                Bytes({1,    5,    0,    0,    0,    0,    0,    5,    0x15, 0,    0,    0,  //
                       0x01, 0x02, 0x03, 0x04, 0xA0, 0x86, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80,
                       0xE8, 0x03, 0x00, 0x00})),
            "S-1-5-21-67305985-100000-2147483648-1000");
  EXPECT_EQ(converter.ObjSidToStrSid(Bytes({1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0})), "S-1-5-18");
  EXPECT_EQ(converter.ObjSidToStrSid(Bytes({1, 1, 0, 0, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF})),
            "S-1-5-4294967295");
  EXPECT_EQ(converter.ObjSidToStrSid(Bytes({1, 0, 0, 0, 0, 0, 0, 0})), "S-1-0");
  // The whole 48-bit authority, printed without grouping.
  EXPECT_EQ(converter.ObjSidToStrSid(Bytes({1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
            "S-1-281474976710655");
}

TEST(CQvDataTypeConverter, SidOfAWrongLengthOrTypeFails) {
  CQvDataTypeConverter converter;
  for (const ado::Variant& bad :
       {Bytes({1, 5, 0, 0, 0, 0, 0, 5, 0x15, 0}), Bytes({1, 5, 0}), Bytes({})}) {
    try {
      converter.ObjSidToStrSid(bad);
      ADD_FAILURE() << "accepted " << bad.AsBytes().size() << " bytes";
    } catch (const core::Error& e) {
      EXPECT_EQ(e.number(), core::kErrSubscriptOutOfRange);
    }
  }
  EXPECT_THROW(converter.ObjSidToStrSid(ado::Variant("S-1-5")), core::Error);
}

TEST(CQvDataTypeConverter, Integer8ToDateAppliesTheBiasBothWays) {
  {
    FixedBias bias(ado::Variant(int32_t{60}));
    CQvDataTypeConverter converter;
    EXPECT_EQ(converter.Integer8ToDate(StampAtUnixTime(k20150101Noon)).ToText(),
              "2015-01-01 11:00:00");
  }
  {
    FixedBias bias(ado::Variant(int32_t{-60}));
    CQvDataTypeConverter converter;
    EXPECT_EQ(converter.Integer8ToDate(StampAtUnixTime(k20150101Noon)).ToText(),
              "2015-01-01 13:00:00");
  }
}

TEST(CQvDataTypeConverter, BiasHeldAsLittleEndianBytesIsSigned) {
  ado::Array bytes;
  for (int b : {0xC4, 0xFF, 0xFF, 0xFF}) bytes.items.push_back(ado::Variant(int32_t{b}));
  FixedBias bias{ado::Variant(bytes)};
  CQvDataTypeConverter converter;
  EXPECT_EQ(converter.Integer8ToDate(StampAtUnixTime(k20150101Noon)).ToText(),
            "2015-01-01 13:00:00");
  // A second conversion reuses the bias instead of failing on the array.
  EXPECT_EQ(converter.Integer8ToDate(StampAtUnixTime(k20150101Noon + 60)).ToText(),
            "2015-01-01 13:01:00");
  EXPECT_EQ(bias.reads(), 1);
}

TEST(CQvDataTypeConverter, NonZeroBiasIsReadOnceAndZeroBiasOnEveryCall) {
  {
    FixedBias bias(ado::Variant(int32_t{120}));
    CQvDataTypeConverter converter;
    converter.Integer8ToDate(StampAtUnixTime(k20150101Noon));
    converter.Integer8ToDate(StampAtUnixTime(k20150101Noon));
    EXPECT_EQ(bias.reads(), 1);
  }
  {
    FixedBias bias(ado::Variant(int32_t{0}));
    CQvDataTypeConverter converter;
    EXPECT_EQ(converter.Integer8ToDate(StampAtUnixTime(k20150101Noon)).ToText(),
              "2015-01-01 12:00:00");
    converter.Integer8ToDate(StampAtUnixTime(k20150101Noon));
    EXPECT_EQ(bias.reads(), 2);
  }
}

TEST(CQvDataTypeConverter, ZeroStampAndTheEpochGiveEmpty) {
  FixedBias bias(ado::Variant(int32_t{0}));
  LogCapture capture;
  CQvDataTypeConverter converter;
  EXPECT_TRUE(converter.Integer8ToDate(Stamp(0, 0)).IsEmpty());
  // A negative low half counts 2^32 - 1 intervals, not -1: 429.4967295 seconds.
  EXPECT_EQ(converter.Integer8ToDate(Stamp(0, -1)).ToText(), "1601-01-01 00:07:09");
  EXPECT_TRUE(capture.Warnings().empty());
}

TEST(CQvDataTypeConverter, NonObjectsAndOutOfRangeStampsAreLoggedAndEmpty) {
  FixedBias bias(ado::Variant(int32_t{0}));
  LogCapture capture;
  CQvDataTypeConverter converter;
  EXPECT_TRUE(converter.Integer8ToDate(ado::Variant(int32_t{5})).IsEmpty());
  EXPECT_TRUE(converter.Integer8ToDate(Stamp(0x7FFFFFFF, -1)).IsEmpty());  // "never"
  EXPECT_EQ(capture.Warnings(),
            (std::vector<std::string>{"CQvDataTypeConverter.Integer8ToDate, @Line#2",
                                      "CQvDataTypeConverter.Integer8ToDate, @Line#6"}));
}

}  // namespace
}  // namespace qv
