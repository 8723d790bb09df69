// The settings record's fields read and written by name as text.

#include "store/cnf_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "store/config.h"

namespace orvalis::store {
namespace {

TEST(CnfNames, EveryNameReadsAndValuesRoundTrip) {
  CnfData cnf;
  setDefaults(cnf);
  const auto names = cnfFieldNames();
  EXPECT_EQ(names.size(), 41u);
  EXPECT_EQ(std::set<std::string_view>(names.begin(), names.end()).size(), names.size());
  for (const auto name : names) EXPECT_TRUE(getCnfField(cnf, name)) << name;
  EXPECT_EQ(getCnfField(cnf, "language"), "&English");
  EXPECT_EQ(getCnfField(cnf, "reHost"), "127.0.0.1");
  EXPECT_FALSE(getCnfField(cnf, "spare"));
  EXPECT_EQ(getCnfField(cnf, "autoReach"), "1");  // on in a new settings file

  EXPECT_TRUE(setCnfField(cnf, "userNumber", "-7"));
  EXPECT_EQ(getCnfField(cnf, "userNumber"), "-7");
  EXPECT_TRUE(setCnfField(cnf, "socks5Port", "65535"));
  EXPECT_EQ(cnf.socks5Port.get(), 65535);
  EXPECT_TRUE(setCnfField(cnf, "serverHost", "10.1.2.3"));
  EXPECT_EQ(cnf.encode()[4296], 10);  // network order: first octet first
  EXPECT_EQ(getCnfField(cnf, "serverHost"), "10.1.2.3");
  EXPECT_TRUE(setCnfField(cnf, "language", std::string(150, 'x')));
  EXPECT_EQ(cnf.language.str().size(), 99u);
  EXPECT_TRUE(setCnfField(cnf, "autoReach", "0"));
  EXPECT_EQ(cnf.encode()[124], 0);  // the record's former spare word
}

TEST(CnfNames, RefusedValuesChangeNothing) {
  CnfData cnf;
  setDefaults(cnf);
  const auto before = cnf.encode();
  for (const char* port : {"0", "65536", "131072", "-1", "80x", ""})
    EXPECT_FALSE(setCnfField(cnf, "serverPort", port)) << port;
  for (const char* addr : {"255.255.255.255", "1.2.3", "1.2.3.256", "host"})
    EXPECT_FALSE(setCnfField(cnf, "httpHost", addr)) << addr;
  for (const char* n : {"", "1.5", "2147483648", "0x10"})
    EXPECT_FALSE(setCnfField(cnf, "nGsm", n)) << n;
  EXPECT_FALSE(setCnfField(cnf, "noSuchField", "1"));
  EXPECT_FALSE(setCnfField(cnf, "passwdLen", "5"));  // lengths follow their texts
  EXPECT_FALSE(setCnfField(cnf, "socks5Passwd", "two words"));
  EXPECT_EQ(cnf.encode(), before);
}

TEST(CnfNames, SecretsSetTheirLength) {
  CnfData cnf;
  EXPECT_TRUE(setCnfField(cnf, "socks5User", "alice"));
  EXPECT_EQ(getCnfField(cnf, "socks5UserLen"), "5");
  // 20 bytes into a 16-byte field: 15 kept, the 16th stays zero.
  EXPECT_TRUE(setCnfField(cnf, "socks5Passwd", "abcdefghijklmnopqrst"));
  EXPECT_EQ(cnf.socks5PasswdLen.get(), 15);
  EXPECT_EQ(cnf.encode()[4344 + 15], 0);
  EXPECT_TRUE(setCnfField(cnf, "passwd", "secret"));
  EXPECT_EQ(cnf.passwdLen.get(), 6);
  EXPECT_TRUE(setCnfField(cnf, "passwd", ""));
  EXPECT_EQ(cnf.passwdLen.get(), 0);
}

}  // namespace
}  // namespace orvalis::store
