#include <gtest/gtest.h>

#include "audio/portaudio_device.h"

namespace orvalis::audio {
namespace {

std::vector<std::string> namesOf(const std::vector<PortAudioDevices::Device>& list) {
  std::vector<std::string> names;
  for (const auto& d : list) names.push_back(d.name);
  return names;
}

// PortAudio numbers its devices afresh each time it starts, and a device
// plugged in may come first in its order.
TEST(PortAudioLists, ARefreshKeepsThePlacesOfDevicesStillThereAndAppendsNewOnes) {
  const std::vector<PortAudioDevices::Device> before{{0, "default"}, {1, "pulse"}, {2, "dock"}};
  const auto after = keepDeviceOrder(before, {{0, "headset"}, {1, "default"}, {2, "pulse"}, {3, "usb"}});
  EXPECT_EQ(namesOf(after), (std::vector<std::string>{"default", "pulse", "headset", "usb"}));
  // With PortAudio's new indexes.
  EXPECT_EQ(after[0].index, 1);
  EXPECT_EQ(after[2].index, 0);
  EXPECT_EQ(namesOf(keepDeviceOrder({}, {{4, "default"}, {0, "pulse"}})),
            (std::vector<std::string>{"default", "pulse"}));
}

}  // namespace
}  // namespace orvalis::audio
