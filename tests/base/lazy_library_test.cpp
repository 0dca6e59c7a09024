// Loading a library when first needed: the first name that opens is used, a library or function
// that is missing is reported by name, and threads that ask at the same time share one result.
#include "caption_engine/base/lazy_library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

using ::testing::HasSubstr;

// libm is on every Linux machine and is linked into this test already; opening it again by name
// is what the engine does with FFmpeg and libpulse.
constexpr const char* kMath = "libm.so.6";

TEST(LazyLibrary, TheFirstNameThatOpensIsUsedAndItsFunctionsWork) {
  LazyLibrary library({"libquorvel-no-such-library.so.0", kMath});
  ASSERT_TRUE(library.open()) << library.error();
  EXPECT_EQ(library.error(), "");
  double (*cosine)(double) = nullptr;
  ASSERT_TRUE(library.bind(cosine, "cos"));
  EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
}

TEST(LazyLibrary, AMissingLibraryOrFunctionIsReportedByName) {
  LazyLibrary missing({"libquorvel-no-such-library.so.0"});
  EXPECT_FALSE(missing.open());
  EXPECT_FALSE(missing.open());  // tried once; the answer stays
  EXPECT_THAT(missing.error(), HasSubstr("libquorvel-no-such-library.so.0"));
  void (*function)() = reinterpret_cast<void (*)()>(1);
  EXPECT_FALSE(missing.bind(function, "cos"));
  EXPECT_EQ(function, nullptr);

  LazyLibrary math({kMath});
  void (*absent)() = nullptr;
  EXPECT_FALSE(math.bind(absent, "quorvel_no_such_function"));
  EXPECT_THAT(math.error(), HasSubstr("quorvel_no_such_function"));
}

TEST(LazyLibrary, ThreadsOpeningAtOnceAllSeeTheOneLibrary) {
  LazyLibrary library({kMath});
  std::atomic<int> opened{0};
  std::vector<void*> found(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < found.size(); ++i) {
    threads.emplace_back([&, i] {
      if (library.open()) ++opened;
      found[i] = library.symbol("cos");
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened.load(), 8);
  for (void* f : found) EXPECT_EQ(f, found.front());
  EXPECT_NE(found.front(), nullptr);
}

}  // namespace
}  // namespace quorvel
