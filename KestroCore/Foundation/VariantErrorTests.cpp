#include "KestroCore/Foundation/VariantError.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
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

// A case that cannot be compared leaves the error without ==.
struct Opaque {};
class OpaqueError : public VariantError<Opaque> {
 public:
  OpaqueError() : VariantError(Opaque{}, [](const Case&) { return "opaque"; }) {}
};
static_assert(std::equality_comparable<ParcelError>);
static_assert(!std::equality_comparable<OpaqueError>);

TEST(VariantErrorTest, TheCaseDecidesPayloadKindAndDescription) {
  const ParcelError lost = ParcelError::lost("Lyon");
  ASSERT_NE(lost.as<parcel::Lost>(), nullptr);
  EXPECT_EQ(lost.as<parcel::Lost>()->where, "Lyon");
  EXPECT_EQ(lost.as<parcel::Late>(), nullptr);
  EXPECT_TRUE(lost.is<parcel::Lost>());
  EXPECT_FALSE(lost.is<parcel::Late>());
  EXPECT_STREQ(lost.what(), "lost in Lyon");

  const ParcelError late = ParcelError::late(3);
  EXPECT_TRUE(late.is<parcel::Late>());
  EXPECT_EQ(late.value().index(), 1u);
  EXPECT_STREQ(late.what(), "3 days late");
  EXPECT_STREQ(OpaqueError().what(), "opaque");
}

TEST(VariantErrorTest, ErrorsCompareByCaseAndPayload) {
  EXPECT_EQ(ParcelError::lost("Lyon"), ParcelError::lost("Lyon"));
  EXPECT_NE(ParcelError::lost("Lyon"), ParcelError::lost("Nantes"));
  EXPECT_NE(ParcelError::late(0), ParcelError::lost(""));
}

TEST(VariantErrorTest, CopiesKeepTheirDescriptionWhenThrownAndAcrossThreads) {
  std::exception_ptr thrown;
  std::thread([&] {
    try {
      throw ParcelError::lost("a parcel office that closed");
    } catch (...) {
      thrown = std::current_exception();
    }
  }).join();
  try {
    std::rethrow_exception(thrown);
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "lost in a parcel office that closed");
    const ParcelError copy = dynamic_cast<const ParcelError&>(error);
    EXPECT_STREQ(copy.what(), "lost in a parcel office that closed");
    EXPECT_EQ(copy, ParcelError::lost("a parcel office that closed"));
  }
}

}  // namespace
}  // namespace kestro
