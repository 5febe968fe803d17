// The plug-in loader: plug-ins found through the search path, loaded once,
// their providers run per request; failures reported once; requests kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Sidecar/Loader.h"

namespace {

TEST(SidecarLoader, FindsLoadsOnceAndRunsTheProvidersOfARequest) {
  namespace fs = std::filesystem;
  fs::path const broken = fs::temp_directory_path() / "sidecar-broken-plugins";
  fs::create_directories(broken);
  std::ofstream(broken / "broken.so") << "not an ELF file";
  std::string const path =
      std::string(SIDECAR_TEST_PLUGIN_DIR) + ":/nonexistent:" + broken.string();
  setenv("SIDECAR_PLUGIN_PATH", path.c_str(), 1);
  Sidecar::Core::Loader::Singleton::rescan();

  using Sidecar::Core::Loader::Singleton;
  std::size_t const before = Singleton::requests().size();
  Plugin::Loader<void> record{"CorvaneInt::Test::UtilLoader", {}, 0};
  testing::internal::CaptureStderr();
  EXPECT_EQ(Singleton::load("AsicFeature", "Test::Served", &record), 2u);
  std::string const errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("cannot load plug-in " + (broken / "broken.so").string()),
            std::string::npos)
      << errors;
  EXPECT_EQ(record.name, "CorvaneInt::Test::UtilLoader+served");
  ASSERT_EQ(record.servedBy.size(), 2u);
  EXPECT_NE(record.servedBy[0].find("sidecar-test-plugin"), std::string::npos);

  // Asking again loads nothing again and reports nothing again.
  Singleton::rescan();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Singleton::load("AsicFeature", "Test::Nobody", &record), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(record.requests, 2u);
  auto const loaded = Singleton::pluginsLoaded();
  EXPECT_EQ(std::count_if(loaded.begin(), loaded.end(),
                          [](std::string const& f) {
                            return f.find("sidecar-test-plugin") != std::string::npos;
                          }),
            1);

  auto const requests = Singleton::requests();
  ASSERT_EQ(requests.size(), before + 2);
  EXPECT_EQ(requests[before].prefix, "AsicFeature");
  EXPECT_EQ(requests[before].suffix, "Test::Served");
  EXPECT_EQ(requests[before].recordName, "CorvaneInt::Test::UtilLoader");
  EXPECT_EQ(requests[before].providersRun, 2u);
  EXPECT_EQ(requests[before + 1].providersRun, 0u);
  fs::remove_all(broken);
}

}  // namespace
