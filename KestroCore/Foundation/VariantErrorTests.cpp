#include "KestroCore/Foundation/VariantError.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace kestro {
namespace {

namespace parcel {
struct Lost {
  std::string where;
  bool operator==(const Lost&) const = default;
};
struct Late {
  int days;
  bool operator==(const Late&) const = default;
};
}  // namespace parcel

// An error made the way the library's are.
class ParcelError : public VariantError<parcel::Lost, parcel::Late> {
 public:
  static ParcelError lost(std::string where) { return ParcelError(parcel::Lost{std::move(where)}); }
  static ParcelError late(int days) { return ParcelError(parcel::Late{days}); }

 private:
  explicit ParcelError(Case value)
      : VariantError(std::move(value), [](const Case& c) {
          if (const auto* lost = std::get_if<parcel::Lost>(&c)) return "lost in " + lost->where;
          return std::to_string(std::get<parcel::Late>(c).days) + " days late";
        }) {}
};

TEST(VariantErrorTest, TheCaseDecidesPayloadDescriptionAndEquality) {
  const ParcelError lost = ParcelError::lost("Lyon");
  ASSERT_NE(lost.as<parcel::Lost>(), nullptr);
  EXPECT_EQ(lost.as<parcel::Lost>()->where, "Lyon");
  EXPECT_FALSE(lost.is<parcel::Late>());
  EXPECT_STREQ(lost.what(), "lost in Lyon");
  EXPECT_STREQ(ParcelError::late(3).what(), "3 days late");

  EXPECT_EQ(lost, ParcelError::lost("Lyon"));
  EXPECT_NE(lost, ParcelError::lost("Nantes"));
  EXPECT_NE(ParcelError::late(0), ParcelError::lost(""));

  // A copy thrown as std::exception keeps its own description once the original is gone.
  std::optional<ParcelError> original = ParcelError::lost("a parcel office that closed");
  try {
    throw ParcelError(*original);
  } catch (const std::exception& error) {
    original.reset();
    EXPECT_STREQ(error.what(), "lost in a parcel office that closed");
  }
}

}  // namespace
}  // namespace kestro
