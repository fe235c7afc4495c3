#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <set>
#include <vector>

#include "ErrorNumber.h"
#include "TvrError.h"
#include "clsGenEncryption.h"

namespace {
std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}
std::string allByteValues() {
  std::string text;
  for (int i = 0; i < 256; ++i) text += static_cast<char>(i);
  return text;
}
}  // namespace

TEST(clsGenEncryption, KnownKeysGiveTheDocumentedBytes) {
  EXPECT_EQ(clsGenEncryption::encipherWithKeys("abc", {1, 2, 3, 4}),
            bytes({0x01, 0x03, 0x02, 0x62, 0x64, 0x66, 0x04}));
  // The fifth plain byte uses K0 again; the sixth, 0xFF + K1, wraps to 0x13.
  EXPECT_EQ(clsGenEncryption::encipherWithKeys(bytes({0, 0, 0, 0, 0, 0xFF}), {10, 20, 30, 250}),
            bytes({10, 30, 20, 10, 20, 30, 250, 10, 0x13, 250}));
  EXPECT_EQ(clsGenEncryption::encipherWithKeys(bytes({0xFF}), {250, 1, 1, 1}),
            bytes({250, 1, 1, 0xF9, 1}));
  EXPECT_EQ(GenEncryption().DecryptString(bytes({250, 1, 1, 0xF9, 1}), 1), bytes({0xFF}));
  EXPECT_EQ(GenEncryption().DecryptString(bytes({0x01, 0x03, 0x02, 0x62, 0x64, 0x66, 0x04}), 1), "abc");
  // Long texts go on with the same pattern: byte i gets K(i mod 4), wrapping.
  const std::string plain = (allByteValues() + allByteValues()).substr(190, 75);
  const std::array<std::uint8_t, 4> keys = {7, 200, 129, 255};
  std::string expected = bytes({7, 129, 200});
  for (std::size_t i = 0; i < plain.size(); ++i) {
    expected.push_back(static_cast<char>(static_cast<std::uint8_t>(plain[i]) + keys[i % 4]));
  }
  expected.push_back(static_cast<char>(255));
  EXPECT_EQ(clsGenEncryption::encipherWithKeys(plain, {7, 200, 129, 255}), expected);
}

TEST(clsGenEncryption, EmptyTextAndShortInput) {
  const std::string empty = GenEncryption().EncryptString("");
  ASSERT_EQ(empty.size(), 4u);
  EXPECT_EQ(GenEncryption().DecryptString(empty, 1), "");
  EXPECT_EQ(GenEncryption().DecryptString("", 1), "");
  for (const std::string& shortText : {std::string("a"), std::string("ab"), std::string("abc")}) {
    EXPECT_EQ(errorNumberOf([&] { GenEncryption().DecryptString(shortText, 1); }), kErrSubscript)
        << shortText.size() << " bytes";
  }
  EXPECT_THROW(GenEncryption().DecryptString("F" + empty.substr(0, 3), 2), TvrError);
}

TEST(clsGenEncryption, RoundTripsEveryByteValue) {
  const std::string plain = allByteValues() + allByteValues().substr(7);
  for (int run = 0; run < 50; ++run) {
    const std::string enciphered = GenEncryption().EncryptString(plain);
    ASSERT_EQ(enciphered.size(), plain.size() + 4);
    for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{2}, enciphered.size() - 1}) {
      const auto key = static_cast<unsigned char>(enciphered[at]);
      EXPECT_GE(key, 1);
      EXPECT_LE(key, 250);
    }
    EXPECT_EQ(GenEncryption().DecryptString(enciphered, 1), plain);
    // In a frame the keys follow one flag byte.
    EXPECT_EQ(GenEncryption().DecryptString("\x07" + enciphered, 2), plain);
  }
}

// In place, every length from empty to past a sixteen-byte block, with and
// without a flag byte before the keys, and every byte value at the end.
TEST(clsGenEncryption, InPlaceFormsMatchTheCopyingOnes) {
  std::vector<std::size_t> lengths(21);
  std::iota(lengths.begin(), lengths.end(), 0);
  lengths.push_back(300);
  for (const std::size_t length : lengths) {
    const std::string plain = (allByteValues() + allByteValues()).substr(200, length);
    std::string form(3, '\0');
    form += plain;
    form.push_back('\0');
    GenEncryption().EncryptInPlace(form.data(), plain.size());
    EXPECT_EQ(GenEncryption().DecryptString(form, 1), plain) << length;
    for (const std::string& prefix : {std::string(), std::string("\x07")}) {
      std::string text = prefix + form;
      GenEncryption().DecryptInPlace(text, prefix.size());
      EXPECT_EQ(text, prefix + plain) << length;
    }
  }
  std::string shortText = "abc";
  EXPECT_EQ(errorNumberOf([&] { GenEncryption().DecryptInPlace(shortText, 0); }), kErrSubscript);
  EXPECT_EQ(shortText, "abc");
}

TEST(clsGenEncryption, KeysAreDrawnAfreshAndCoverTheirRange) {
  std::set<std::string> forms;
  for (int i = 0; i < 20; ++i) forms.insert(GenEncryption().EncryptString("same text"));
  EXPECT_GT(forms.size(), 15u);

  std::set<int> seen;
  for (int i = 0; i < 20000; ++i) {
    const int n = GenEncryption().GetRandomNumber(250);
    ASSERT_GE(n, 1);
    ASSERT_LE(n, 250);
    seen.insert(n);
  }
  EXPECT_EQ(seen.size(), 250u);
  EXPECT_EQ(GenEncryption().GetRandomNumber(1), 1);
  EXPECT_THROW(GenEncryption().GetRandomNumber(0), TvrError);
}
