// The address book against real files in a scratch directory.

#include "store/addr_book.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "support/fifo.h"
#include "support/temp_dir.h"

namespace orvalis::store {
namespace {

class AddrBookTest : public ::testing::Test {
 protected:
  void write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
  std::string read() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  AddrBook open() {
    return AddrBook(path_, [this] { ++wrongNumbers_; });
  }
  static std::string line(int i) { return "n" + std::to_string(i) + " N " + std::to_string(100000000 + i) + "\n"; }

  testing::TempDir temp_;
  std::string path_ = temp_.file("users201.txt").string();
  int wrongNumbers_ = 0;
};

TEST_F(AddrBookTest, LoadsFieldsSplitByAnyBlanks) {
  write("  ann\tN\t123456789\tfirst memo  \r\n"
        "bob V 223456789 two words\n"
        "cid\tB\t0323456789\t\t a\tb \r\n"
        "dan N 423456789");  // no line feed at the end
  AddrBook b = open();
  EXPECT_EQ(b.cell(0, 0) + b.cell(1, 0) + b.cell(2, 0), "NICTPHONE");
  EXPECT_EQ(b.cell(0, 1), "ann");
  EXPECT_EQ(b.memoBook(1), "first memo");
  EXPECT_EQ(b.memoBook(2), "two words");
  EXPECT_EQ(b.phonesType(2), contactVoiceCall);
  EXPECT_EQ(b.cell(2, 3), "0323456789");
  EXPECT_EQ(b.phonesId(3), 323456789);
  EXPECT_EQ(b.memoBook(3), "a\tb");
  EXPECT_EQ(b.findNumber("323456789"), 0);
  EXPECT_EQ(b.findNumber("0323456789"), 3);
  EXPECT_EQ(b.cell(0, 4), "dan");
  EXPECT_EQ(b.findFreeRow(), 5);
  EXPECT_EQ(b.currentRow(), 1);
}

TEST_F(AddrBookTest, SkippedLinesStayInTheFileAfterTheContacts) {
  write("eve N 12345678\r\nfay n 523456789\n\r\nok N 623456789 m\r\n  \nshort N\nbig N 12345678901");
  AddrBook b = open();
  EXPECT_EQ(b.cell(0, 1), "ok");
  EXPECT_EQ(b.findFreeRow(), 2);
  ASSERT_TRUE(b.saveFile());
  EXPECT_EQ(read(), "ok\tN\t623456789\tm\r\neve N 12345678\r\nfay n 523456789\r\nshort N\r\n"
                    "big N 12345678901\r\n");

  // A nick of zero bytes is no nick: the line is kept, not lost on saving.
  const std::string zeroNick("\0\0\tN\t723456789\tmemo", 19);
  write(zeroNick + "\r\nok N 623456789\r\n");
  AddrBook z = open();
  EXPECT_EQ(z.cell(0, 1), "ok");
  EXPECT_EQ(z.findNumber("723456789"), 0);
  ASSERT_TRUE(z.saveFile());
  EXPECT_EQ(read(), "ok\tN\t623456789\t\r\n" + zeroNick + "\r\n");
}

TEST_F(AddrBookTest, FullBookKeepsTheRestAndIgnoresAdds) {
  std::string text;
  for (int i = 1; i <= 51; ++i) text += line(i);
  write(text);
  AddrBook b = open();
  EXPECT_EQ(b.cell(0, 49), "n49");
  EXPECT_EQ(b.findFreeRow(), 0);
  b.selectRow(5);
  b.addNumber("999999999");
  b.addNumber("1");
  EXPECT_EQ(wrongNumbers_, 0);
  EXPECT_EQ(b.currentRow(), 5);
  EXPECT_EQ(read(), text);
  b.deleteCurrent();  // the 50th line moves up into the book
  EXPECT_EQ(b.cell(0, 5), "n6");
  EXPECT_EQ(b.cell(0, 49), "n50");
  EXPECT_EQ(b.findNumber("100000005"), 0);
  EXPECT_NE(read().find("\r\nn51 N 100000051\r\n"), std::string::npos);
}

TEST_F(AddrBookTest, DeleteSavesCompactsAndSelectsTheSameRow) {
  write(line(1) + line(2) + line(3) + line(4) + line(5));
  AddrBook b = open();
  b.selectRow(3);
  b.deleteCurrent();
  EXPECT_EQ(read(), "n1\tN\t100000001\t\r\nn2\tN\t100000002\t\r\nn4\tN\t100000004\t\r\n"
                    "n5\tN\t100000005\t\r\n");
  EXPECT_EQ(b.cell(0, 3), "n4");
  EXPECT_EQ(b.cell(0, 4), "n5");
  EXPECT_EQ(b.phonesId(5), 0);
  EXPECT_EQ(b.currentRow(), 3);
  b.selectRow(5);
  b.deleteCurrent();  // an empty row: nothing happens
  EXPECT_EQ(b.cell(0, 4), "n5");
}

TEST_F(AddrBookTest, AddSelectsAPresentNumberRefusesABadOneAppendsANewOne) {
  write(line(1) + line(2));
  AddrBook b = open();
  int changes = 0, selections = 0;
  b.setOnChanged([&] { ++changes; });
  b.setOnCurrentRowChanged([&] { ++selections; });
  b.addNumber("100000002");
  EXPECT_EQ(b.currentRow(), 2);
  EXPECT_EQ(read(), line(1) + line(2));  // not rewritten
  b.addNumber("99999999");
  b.addNumber("12x456789");
  EXPECT_EQ(wrongNumbers_, 2);
  EXPECT_EQ(b.currentRow(), 2);
  EXPECT_EQ(b.findFreeRow(), 3);
  EXPECT_EQ(changes, 0);
  b.addNumber("723456789");
  EXPECT_EQ(b.cell(0, 3) + b.cell(1, 3) + b.cell(2, 3) + b.memoBook(3), "newN723456789New User");
  EXPECT_EQ(b.typeOf(723456789), contactNormal);
  EXPECT_EQ(b.currentRow(), 3);
  EXPECT_NE(read().find("new\tN\t723456789\tNew User\r\n"), std::string::npos);
  EXPECT_EQ(changes, 1);
  b.selectRow(3);  // unchanged, still announced
  EXPECT_EQ(selections, 3);
}

TEST_F(AddrBookTest, TypeOfTakesTheFirstMatchingRow) {
  write("a V 323456789\nb B 323456789\nc B 423456789\n");
  AddrBook b = open();
  EXPECT_EQ(b.typeOf(323456789), contactVoiceCall);
  EXPECT_EQ(b.typeOf(423456789), contactBlackList);
  EXPECT_EQ(b.typeOf(523456789), contactNormal);
}

TEST_F(AddrBookTest, Cp1251LineIsReadAndWrittenAsUtf8) {
  write("\xC8\xE2\xE0\xED N 123456789 \xE4\xF0\xF3\xE3\r\n");
  AddrBook b = open();
  EXPECT_EQ(b.cell(0, 1), "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD");
  ASSERT_TRUE(b.saveFile());
  EXPECT_EQ(read(), "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD\tN\t123456789\t\xD0\xB4\xD1\x80\xD1\x83\xD0\xB3\r\n");
}

TEST_F(AddrBookTest, MissingFileIsCreatedEmptyAndPrivate) {
  namespace fs = std::filesystem;
  constexpr auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  AddrBook b = open();
  EXPECT_TRUE(fs::exists(path_));
  EXPECT_EQ(read(), "");
  EXPECT_EQ(b.findFreeRow(), 1);
  EXPECT_EQ(fs::status(path_).permissions(), ownerOnly);
  // An older book readable by others is narrowed at the next save.
  fs::permissions(path_, fs::perms::others_read, fs::perm_options::add);
  b.addNumber("123456789");
  EXPECT_EQ(fs::status(path_).permissions(), ownerOnly);
}

TEST_F(AddrBookTest, FifoInPlaceOfTheFileIsRefusedWithoutWaiting) {
  testing::makeFifo(path_);
  std::optional<AddrBook> b;
  EXPECT_TRUE(testing::returnsDespiteFifo(path_, [&] { b.emplace(path_, nullptr); }));
  EXPECT_EQ(b->findFreeRow(), 1);
  EXPECT_FALSE(b->saveFile());
  EXPECT_TRUE(std::filesystem::is_fifo(path_));
}

TEST_F(AddrBookTest, EditSavesWithoutReloadingAndKeepsTheLineWhole) {
  write(line(1) + line(2));
  AddrBook b = open();
  b.setCell(0, 1, "");  // a free row stays free until the next load
  b.selectRow(2);
  EXPECT_TRUE(b.updateCurrent(" \t", contactBlackList, "two\r\nlines"));
  EXPECT_EQ(b.cell(0, 1), "");
  EXPECT_EQ(b.cell(0, 2) + b.cell(1, 2), "NewB");
  EXPECT_EQ(b.typeOf(100000002), contactBlackList);
  EXPECT_EQ(read(), "New\tB\t100000002\ttwo  lines\r\n");
  b.selectRow(1);
  EXPECT_FALSE(b.updateCurrent("x", 0, ""));  // no contact there
}

TEST_F(AddrBookTest, FailedWritesLeaveTheFileAsItWas) {
  // No temporary name fits beside a name this long: every save fails.
  path_ = temp_.file(std::string(250, 'u')).string();
  write(line(1));
  AddrBook b = open();
  EXPECT_FALSE(b.saveFile());
  b.addNumber("723456789");
  EXPECT_EQ(b.findNumber("723456789"), 0);
  EXPECT_EQ(read(), line(1));

  std::filesystem::create_directory(path_ + ".d");
  AddrBook unreadable(path_ + ".d", nullptr);
  EXPECT_FALSE(unreadable.loadFile());
  EXPECT_FALSE(unreadable.saveFile());
}

// A reload must never show the listener a book without the caller in it.
TEST_F(AddrBookTest, TypeOfSeesWholeBooksWhileReloading) {
  const std::string first = "x B 823456789\n", second = line(1) + line(2) + first;
  write(first);
  AddrBook b = open();
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::thread listener([&] {
    while (!done)
      if (b.typeOf(823456789) != contactBlackList) ++wrong;
  });
  for (int i = 0; i < 200; ++i) {
    write(i % 2 ? first : second);
    b.loadFile();
  }
  done = true;
  listener.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(b.phonesId(1), 823456789);
}

}  // namespace
}  // namespace orvalis::store
