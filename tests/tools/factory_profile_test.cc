// AT&F's factory profile is what the sample settings file the package installs sets.
#include <gtest/gtest.h>

#include "config/factory_settings.h"
#include "config/settings_keys.h"

namespace {

TEST(FactoryProfile, IsTheSampleSettingsFile) {
  modem_settings sample;
  ASSERT_TRUE(settings_load(sample, SOURCE_DIR "/packaging/settings").read);
  EXPECT_EQ(sample.compat, 1u);
  for (const factory_value& v : factory_values) {
    const char* key = "?";
    for (const settings_key& k : settings_keys) {
      if (k.number == v.field) key = k.key.data();
    }
    EXPECT_EQ(sample.*v.field, v.value) << key;
  }
}

}  // namespace
