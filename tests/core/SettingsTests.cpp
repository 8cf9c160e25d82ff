#include "core/Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ScopedEnvironment;

class SettingsTest : public ::testing::Test {
 protected:
  void WriteConfig(const std::string& text) {
    std::filesystem::create_directories(config_ / "Norvik Inc.");
    testsupport::WriteFileText(settings::ConfigFilePath(), text);
  }

  testsupport::TempFolder config_;
  ScopedEnvironment configHome_{"XDG_CONFIG_HOME", config_.Path()};
  ScopedEnvironment enginePort_{"ORBA_ENGINE_PORT", std::nullopt};
  ScopedEnvironment referer_{"ORBA_REFERER", std::nullopt};
  ScopedEnvironment caFile_{"ORBA_TLS_CA_FILE", std::nullopt};
  ScopedEnvironment relayHost_{"ORBA_RELAY_HOST", std::nullopt};
  ScopedEnvironment networkState_{"ORBA_NETWORK_STATE", std::nullopt};
};

TEST_F(SettingsTest, ConfigFileLivesInTheConfigurationFolder) {
  EXPECT_EQ(settings::ConfigFilePath(), config_.Path() + "/Norvik Inc./orba.conf");
}

TEST_F(SettingsTest, EnvironmentNameIsPrefixedUpperCaseKey) {
  EXPECT_EQ(settings::EnvironmentName("relay_host"), "ORBA_RELAY_HOST");
  EXPECT_EQ(settings::EnvironmentName("tls_ca_file"), "ORBA_TLS_CA_FILE");
}

TEST_F(SettingsTest, DefaultsApplyWithoutFileOrEnvironment) {
  EXPECT_EQ(settings::Get("engine_port"), "38006");
  EXPECT_EQ(settings::GetInt("engine_port", 0), 38006);
  EXPECT_EQ(settings::GetInt("relay_port", 0), 54547);
  EXPECT_EQ(settings::Get("relay_host"), "relay.orba.example");
  EXPECT_EQ(settings::Get("network_state"), "auto");
  EXPECT_EQ(settings::Get("tls_verify"), "1");
  EXPECT_EQ(settings::Get("tls_ca_file"), "");
  EXPECT_EQ(settings::Get("file_list_url"),
            "http://download.orba.example/download/orba/qtxdownload/filelist.txt");
  EXPECT_EQ(settings::Get("banner_url"), "http://download.orba.example/download/orba/qtxdownload/ORBA.gif");
  EXPECT_EQ(settings::Get("update_manifest_url"),
            "http://update.orba.example/norvik/qtxdownload/update/v3_32/qtxdownload_updater.xml");
  EXPECT_EQ(settings::Get("referer"), "http://www.orba.example/");
}

TEST_F(SettingsTest, FileOverridesDefault) {
  WriteConfig("engine_port = 4000\n");
  EXPECT_EQ(settings::Get("engine_port"), "4000");
  EXPECT_EQ(settings::GetInt("engine_port", 0), 4000);
  EXPECT_EQ(settings::Get("relay_host"), "relay.orba.example");
}

TEST_F(SettingsTest, EnvironmentOverridesFile) {
  WriteConfig("engine_port = 4000\n");
  ScopedEnvironment port("ORBA_ENGINE_PORT", "5000");
  EXPECT_EQ(settings::GetInt("engine_port", 0), 5000);
}

TEST_F(SettingsTest, EnvironmentOverridesDefault) {
  ScopedEnvironment host("ORBA_RELAY_HOST", "127.0.0.1");
  EXPECT_EQ(settings::Get("relay_host"), "127.0.0.1");
}

TEST_F(SettingsTest, EmptyEnvironmentValueStillWins) {
  WriteConfig("tls_ca_file = /etc/test-ca.pem\n");
  ScopedEnvironment caFile("ORBA_TLS_CA_FILE", "");
  EXPECT_EQ(settings::Get("tls_ca_file"), "");
}

TEST_F(SettingsTest, CommentsBlankLinesAndSpacesAreIgnored) {
  WriteConfig(
      "# deployment for the demo\n"
      "\n"
      "   # indented comment = not a setting\n"
      "\t relay_host \t=\t  relay.test   \r\n"
      "referer = http://www.test/page#top   # the fragment stays\n"
      "network_state=offline#no blank before the hash\n"
      "line without equals sign\n"
      "# engine_port = 1\n");
  EXPECT_EQ(settings::Get("relay_host"), "relay.test");
  EXPECT_EQ(settings::Get("referer"), "http://www.test/page#top");
  EXPECT_EQ(settings::Get("network_state"), "offline#no blank before the hash");
  EXPECT_EQ(settings::Get("engine_port"), "38006");
  EXPECT_EQ(settings::Get("# indented comment"), "");
}

TEST_F(SettingsTest, LaterFileLineWins) {
  WriteConfig("engine_port = 1000\nengine_port = 2000\n");
  EXPECT_EQ(settings::GetInt("engine_port", 0), 2000);
}

TEST_F(SettingsTest, FileIsReadAfreshOnEveryCall) {
  WriteConfig("engine_port = 1000\n");
  EXPECT_EQ(settings::GetInt("engine_port", 0), 1000);
  WriteConfig("engine_port = 2000\n");
  EXPECT_EQ(settings::GetInt("engine_port", 0), 2000);
}

TEST_F(SettingsTest, UnknownKeyIsEmpty) {
  EXPECT_EQ(settings::Get("no_such_key"), "");
  EXPECT_EQ(settings::Get(""), "");
  EXPECT_EQ(settings::GetInt("no_such_key", 17), 17);
}

TEST_F(SettingsTest, KeyOnlyInFileIsFound) {
  WriteConfig("extra_key = value\n");
  EXPECT_EQ(settings::Get("extra_key"), "value");
}

TEST_F(SettingsTest, GetIntFallsBackOnNonNumbers) {
  WriteConfig("engine_port = 40x\nrelay_port =\n");
  EXPECT_EQ(settings::GetInt("engine_port", 7), 7);
  EXPECT_EQ(settings::GetInt("relay_port", 8), 8);
  ScopedEnvironment host("ORBA_RELAY_HOST", " -12 ");
  EXPECT_EQ(settings::GetInt("relay_host", 0), -12);
}

}  // namespace
