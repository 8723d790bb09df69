// The pinned keys' file: what a hand or a crash may leave in it is skipped,
// never taken for a pin, and a pin written reads back.

#include "store/server_keys.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace orvalis::store {
namespace {

TEST(ServerKeys, FileReadsBackAndSkipsWhatIsNotAPin) {
  KeyPin pin{};
  for (std::size_t i = 0; i < pin.size(); ++i) pin[i] = static_cast<std::uint8_t>(i * 7);
  const ServerId server{htonl(0xC6336407), 3393};
  const std::string line = "198.51.100.7:3393 " + pinText(pin) + "\n";
  EXPECT_EQ(formatServerKeys({{server, pin}}), line);
  const PinMap read = parseServerKeys("# note\r\n" + line.substr(0, line.size() - 1) + "\r\n" +
                                      "198.51.100.8:0 " + pinText(pin) + "\n" +
                                      "198.51.100.9:3393 " + pinText(pin).substr(2) + "\n" +
                                      "host:3393 " + pinText(pin) + "\n" +
                                      "198.51.100.10:3393 " + std::string(64, 'G'));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read.at(server), pin);

  orvalis::testing::TempDir dir;
  const std::string path = dir.file("server-keys").string();
  {
    ServerKeys keys(path);
    EXPECT_TRUE(keys.remember(server, pin));
    KeyPin other = pin;
    other[0] ^= 1;
    EXPECT_TRUE(keys.remember(server, other));  // the first pin stays
    EXPECT_EQ(keys.find(server), pin);
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ServerKeys again(path);
  EXPECT_EQ(again.find(server), pin);
  EXPECT_TRUE(again.forget(server));
  EXPECT_FALSE(ServerKeys(path).find(server));
}

}  // namespace
}  // namespace orvalis::store
