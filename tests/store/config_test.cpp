// Loading and saving "phone201.cnf" in a scratch directory per test.

#include "store/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "store/atomic_file.h"
#include "store/default_melodies.h"
#include "support/fifo.h"
#include "support/temp_dir.h"

namespace orvalis::store {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path().string();
    path_ = temp_.file(cnfFileName).string();
  }

  Bytes readFile() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void writeFile(const std::string& path, const Bytes& b) const {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  mode_t fileMode() const {
    struct stat st{};
    EXPECT_EQ(::stat(path_.c_str(), &st), 0);
    return st.st_mode & 07777;
  }
  static Bytes defaults() {
    CnfData d;
    setDefaults(d);
    const auto e = d.encode();
    return {e.begin(), e.end()};
  }
  static Bytes image(const CnfData& c) {
    const auto e = c.encode();
    return {e.begin(), e.end()};
  }

  testing::TempDir temp_;
  std::string dir_, path_;
  CnfData cnf_, edit_;
};

TEST_F(ConfigTest, PathsUnderTheBaseDirectory) {
  CConfig a(cnf_, edit_, dir_);
  CConfig b(cnf_, edit_, dir_ + "/");
  for (const CConfig* c : {&a, &b}) {
    EXPECT_EQ(c->dir, dir_ + "/");
    EXPECT_EQ(c->musicDir, dir_ + "/nokia");
    EXPECT_EQ(c->cnfPath, path_);
    EXPECT_EQ(c->usersPath, dir_ + "/users201.txt");
  }
}

TEST_F(ConfigTest, FirstStartWritesTheDefaults) {
  CConfig cfg(cnf_, edit_, dir_);
  const Bytes file = readFile();
  ASSERT_EQ(file.size(), cnfSize);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data())), "&English");
  for (std::size_t i = 8; i < 100; ++i) ASSERT_EQ(file[i], 0) << i;
  EXPECT_EQ(Bytes(file.begin() + 112, file.begin() + 116), (Bytes{0x41, 0x0D, 0, 0}));
  // reHost, then autoReach: a new settings file has automatic reachability on.
  EXPECT_EQ(Bytes(file.begin() + 120, file.begin() + 128), (Bytes{127, 0, 0, 1, 1, 0, 0, 0}));
  EXPECT_EQ(Bytes(file.begin() + 4300, file.begin() + 4304), (Bytes{0x41, 0x0D, 0, 0}));
  EXPECT_EQ(Bytes(file.begin() + 4296, file.begin() + 4300), (Bytes{127, 0, 0, 1}));
  for (std::size_t off : {4312u, 4364u, 4372u})  // unused ports and their padding
    EXPECT_EQ(Bytes(file.begin() + off, file.begin() + off + 4), (Bytes{0, 0, 0, 0})) << off;
  EXPECT_EQ(file[140], 3);   // msa
  EXPECT_EQ(file[156], 7);   // nGsmDelay: the automatic spool
  EXPECT_EQ(file[164], 120);  // musicVol

  const std::pair<std::size_t, std::string_view> melodies[] = {
      {172, musicDefCallIn}, {1196, musicDefCallOut}, {2220, musicDefFind}, {3244, musicDefMsg}};
  for (const auto& [off, text] : melodies) {
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(&file[off]), text.size()), text);
    for (std::size_t i = off + text.size(); i < off + melodySize; ++i) ASSERT_EQ(file[i], 0) << i;
  }
  EXPECT_EQ(file, image(cnf_));
  EXPECT_EQ(image(edit_), image(cnf_));
  EXPECT_EQ(fileMode(), 0600u);
}

TEST_F(ConfigTest, ShortAndLongFilesOverlayTheDefaults) {
  // A 200-byte file: only language .. the start of musicCallIn change.
  Bytes head(200, 0);
  head[0] = 'D';
  head[112] = 0x50;  // userPort 80
  head[199] = 'Z';
  writeFile(path_, head);
  {
    CConfig cfg(cnf_, edit_, dir_);
    Bytes want = defaults();
    std::copy(head.begin(), head.end(), want.begin());
    EXPECT_EQ(image(cnf_), want);
    EXPECT_EQ(image(edit_), want);
    EXPECT_EQ(cnf_.userPort.get(), 80);
    EXPECT_EQ(cnf_.serverPort.get(), defaultServerPort);
    EXPECT_EQ(cnf_.userNumber.get(), 0);
    EXPECT_EQ(readFile(), head) << "loading must not rewrite the file";
  }

  // Cut in the middle of userNumber: its high bytes stay from the defaults.
  Bytes mid = defaults();
  mid.resize(4270);
  mid[4268] = 0x39;
  mid[4269] = 0x30;
  writeFile(path_, mid);
  {
    CConfig cfg(cnf_, edit_, dir_);
    EXPECT_EQ(cnf_.userNumber.get(), 12345);
    EXPECT_EQ(cnf_.serverPort.get(), defaultServerPort);
  }

  // A longer file: its first 4376 bytes count, and a save trims it.
  CnfData other;
  setDefaults(other);
  other.userNumber = 777;
  Bytes big = image(other);
  big.resize(5000, 0xAB);
  writeFile(path_, big);
  CConfig cfg(cnf_, edit_, dir_);
  EXPECT_EQ(cnf_.userNumber.get(), 777);
  ASSERT_TRUE(cfg.save());
  EXPECT_EQ(readFile(), image(other));
}

TEST_F(ConfigTest, SaveAndLoadKeepEveryField) {
  CConfig cfg(cnf_, edit_, dir_);
  in_addr a{};
  ASSERT_EQ(inet_pton(AF_INET, "192.0.2.7", &a), 1);
  cnf_.userNumber = 123456789;
  cnf_.connectServer = static_cast<std::int32_t>(ConnectWay::socks5);
  cnf_.socks5Host = a.s_addr;
  cnf_.socks5Port.fromBytes(std::array<std::uint8_t, 4>{0, 0, 0x5A, 0xA5});
  cnf_.socks5Port = 1080;
  cnf_.socks5Passwd = "fifteen-chars!!";
  cnf_.language = std::string(300, 'L');
  cnf_.autoReach = 0x04030201;
  ASSERT_TRUE(cfg.save());

  const Bytes file = readFile();
  EXPECT_EQ(Bytes(file.begin() + 4268, file.begin() + 4272), (Bytes{0x15, 0xCD, 0x5B, 0x07}));
  EXPECT_EQ(Bytes(file.begin() + 4308, file.begin() + 4316),
            (Bytes{192, 0, 2, 7, 0x38, 0x04, 0x5A, 0xA5}));
  EXPECT_EQ(Bytes(file.begin() + 4344, file.begin() + 4360),
            (Bytes{'f', 'i', 'f', 't', 'e', 'e', 'n', '-', 'c', 'h', 'a', 'r', 's', '!', '!', 0}));
  EXPECT_EQ(file[98], 'L');
  EXPECT_EQ(file[99], 0);
  EXPECT_EQ(Bytes(file.begin() + 124, file.begin() + 128), (Bytes{1, 2, 3, 4}));  // autoReach

  CnfData cnf2, edit2;
  CConfig again(cnf2, edit2, dir_);
  EXPECT_EQ(image(cnf2), image(cnf_));
  EXPECT_EQ(image(edit2), image(cnf_));
  EXPECT_EQ(cnf2.socks5Passwd.str(), "fifteen-chars!!");
  EXPECT_EQ(cnf2.language.str(), std::string(99, 'L'));
}

// Phones before automatic reachability wrote 0 in its word, and the fixed
// 1 s spool: they keep behaving as before, through loads and saves, until
// the user changes them.
TEST_F(ConfigTest, OlderFileKeepsAutomaticReachabilityOffAndItsSpool) {
  Bytes old = defaults();
  std::fill(old.begin() + 124, old.begin() + 128, 0);
  old[156] = 4;
  writeFile(path_, old);
  CConfig cfg(cnf_, edit_, dir_);
  EXPECT_EQ(cnf_.autoReach.get(), 0);
  EXPECT_EQ(edit_.autoReach.get(), 0);
  EXPECT_EQ(cnf_.nGsmDelay.get(), 4);
  EXPECT_EQ(readFile(), old);
  ASSERT_TRUE(cfg.save());
  EXPECT_EQ(readFile(), old);
}

TEST_F(ConfigTest, SaveNarrowsTheModeAndLeavesNoTemporaryFile) {
  CConfig cfg(cnf_, edit_, dir_);
  // An older file readable by others is narrowed to its owner.
  ::chmod(path_.c_str(), 0644);
  cnf_.userNumber = 42;
  ASSERT_TRUE(cfg.save());
  EXPECT_EQ(fileMode(), 0600u);
  EXPECT_EQ(readFile(), image(cnf_));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
}

TEST_F(ConfigTest, FifoInPlaceOfTheFileIsNotWaitedOn) {
  testing::makeFifo(path_);
  EXPECT_TRUE(testing::returnsDespiteFifo(path_, [&] { CConfig cfg(cnf_, edit_, dir_); }));
  EXPECT_EQ(image(cnf_), defaults());
  EXPECT_EQ(image(edit_), defaults());
}

// Two phones started in one directory save the same file at once.
TEST_F(ConfigTest, ConcurrentSavesOfTwoPhonesNeverMixTheirFiles) {
  std::array<CnfData, 2> cnf, edit;
  std::array<Bytes, 2> images;
  std::vector<std::unique_ptr<CConfig>> phones;
  for (std::size_t i = 0; i < 2; ++i) {
    phones.push_back(std::make_unique<CConfig>(cnf[i], edit[i], dir_));
    cnf[i].userNumber = 100000001 + static_cast<std::int32_t>(i);
    cnf[i].musicMsg = std::string(900, static_cast<char>('a' + i));
    images[i] = image(cnf[i]);
  }
  ASSERT_TRUE(phones[0]->save());
  std::atomic<int> failedSaves{0};
  std::vector<std::thread> savers;
  for (std::size_t i = 0; i < 2; ++i)
    savers.emplace_back([&, i] {
      for (int k = 0; k < 200; ++k)
        if (!phones[i]->save()) ++failedSaves;
    });
  int mixed = 0;
  for (int k = 0; k < 200; ++k) {
    const Bytes now = readFile();
    if (now != images[0] && now != images[1]) ++mixed;
  }
  for (std::thread& t : savers) t.join();
  EXPECT_EQ(failedSaves, 0);
  EXPECT_EQ(mixed, 0);
  const Bytes last = readFile();
  EXPECT_TRUE(last == images[0] || last == images[1]);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1) << "a temporary file was left";
}

TEST(AtomicFile, RenamedFileIsSavedEvenWhenTheDirectorySyncFails) {
  testing::TempDir temp;
  const std::string path = temp.file("f").string();
  const Bytes bytes{'n', 'e', 'w'};
  EXPECT_TRUE(writeFileAtomically(path, bytes, 0600, [](const std::string&) { return false; }));
  std::string kept;
  std::ifstream(path) >> kept;
  EXPECT_EQ(kept, "new");
}

TEST_F(ConfigTest, DefaultMelodyRestoresOneSlot) {
  CConfig cfg(cnf_, edit_, dir_);
  cnf_.musicMsg = "8a1 8b1 8c2 8d2 8e2 8f2 8g2 8a2 8b2 8c3";
  edit_.musicMsg = "8c1";
  cnf_.musicFind = "16e2";
  cfg.setDefaultMelody(static_cast<std::int32_t>(MelodySlot::msg));
  EXPECT_EQ(cnf_.musicMsg.str(), musicDefMsg);
  EXPECT_EQ(edit_.musicMsg.str(), musicDefMsg);
  const auto img = cnf_.encode();
  for (std::size_t i = 3244 + musicDefMsg.size(); i < 3244 + melodySize; ++i)
    ASSERT_EQ(img[i], 0) << i;
  EXPECT_EQ(cnf_.musicFind.str(), "16e2") << "other slots untouched";

  const Bytes cnfBefore = image(cnf_), editBefore = image(edit_);
  const Bytes file = readFile();
  cfg.setDefaultMelody(7);
  cfg.setDefaultMelody(-1);
  EXPECT_EQ(image(cnf_), cnfBefore);
  EXPECT_EQ(image(edit_), editBefore);
  EXPECT_EQ(readFile(), file) << "restoring a melody does not save";
}

}  // namespace
}  // namespace orvalis::store
