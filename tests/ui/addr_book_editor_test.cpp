// The address-book entry editor: what it shows of the current contact,
// what Accept stores and saves, and a black-listed caller refused.

#include <QTest>

#include <fstream>
#include <sstream>

#include "account_fixture.h"
#include "net/message_codes.h"
#include "net/packet.h"
#include "net/packet_io.h"
#include "net/socket.h"

namespace orvalis::testing {
namespace {

using ui::AddrBookEditor;

class AddrBookEditorTest : public AccountDialogsTest {
 protected:
  void SetUp() override {
    writeBook("ann\tN\t300000001\tsister\r\nbob\tV\t300000005\tfrom work\r\n");
    makeDialogs();
  }
  std::string bookFile() {
    std::ifstream in(dir.file(store::usersFileName), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  store::AddrBook& book() { return phone().addrBook; }
  AddrBookEditor& editor() { return dialogs->editor(); }
};

TEST_F(AddrBookEditorTest, ShowsTheCurrentContactAndCancelTouchesNothing) {
  book().selectRow(2);
  const std::string before = bookFile();
  Script script;
  script.then([&] { return editor().isVisible(); }, [&] {
    EXPECT_EQ(editor().windowTitle(), "300000005");
    EXPECT_EQ(editor().nickEdit()->text(), "bob");
    EXPECT_TRUE(editor().typeButton(1)->isChecked());
    EXPECT_EQ(editor().memoEdit()->text(), "from work");
    QTest::keyClicks(editor().nickEdit(), "by");
    editor().typeButton(2)->click();
    editor().cancelClicked();
  });
  script.start();
  dialogs->editEntry();
  ASSERT_TRUE(script.finished());
  EXPECT_EQ(book().cell(0, 2), "bob");
  EXPECT_EQ(book().phonesType(2), 1);
  EXPECT_EQ(bookFile(), before);
  EXPECT_TRUE(host.messages.empty());

  // A row without a contact opens nothing.
  book().selectRow(5);
  EXPECT_FALSE(editor().runModal());
}

TEST_F(AddrBookEditorTest, AcceptStoresDefaultsAndKeepsNicksOneWord) {
  book().selectRow(1);
  ASSERT_TRUE(editor().load());
  // Blanks go whether typed or pasted: a blank would split the saved line.
  editor().nickEdit()->clear();
  QTest::keyClicks(editor().nickEdit(), "a b");
  EXPECT_EQ(editor().nickEdit()->text(), "ab");
  editor().nickEdit()->selectAll();
  editor().nickEdit()->insert("x y\tz");  // as a paste does
  emit editor().nickEdit()->textEdited(editor().nickEdit()->text());
  EXPECT_EQ(editor().nickEdit()->text(), "xyz");
  QTest::keyClicks(editor().nickEdit(), "123456789");
  EXPECT_EQ(editor().nickEdit()->text().size(), AddrBookEditor::maxNickLength);
  editor().acceptClicked();
  EXPECT_EQ(book().cell(0, 1), "xyz12345");

  // Both fields cleared: the defaults.
  ASSERT_TRUE(editor().load());
  editor().nickEdit()->clear();
  editor().memoEdit()->clear();
  editor().typeButton(1)->click();
  editor().acceptClicked();
  EXPECT_TRUE(editor().saved());
  EXPECT_EQ(book().cell(0, 1), "New");
  EXPECT_EQ(book().cell(1, 1), "V");
  EXPECT_EQ(book().memoBook(1), "New User");
  EXPECT_EQ(book().phonesType(1), 1);
  EXPECT_EQ(book().phonesId(1), 300000001);
  EXPECT_EQ(book().currentRow(), 1);
  EXPECT_EQ(bookFile(), "New\tV\t300000001\tNew User\r\nbob\tV\t300000005\tfrom work\r\n");
}

// Sends a call request from caller to the phone's listener; the code the
// phone answers with, 0 when it just closed.
int callFrom(std::uint16_t port, std::int32_t caller) {
  net::SocketPtr s = net::Socket::createTcp();
  EXPECT_TRUE(s->connect(htonl(INADDR_LOOPBACK), port));
  std::array<std::uint8_t, 8> numbers{};
  net::writeInt32(numbers, 0, 300000001);
  net::writeInt32(numbers, 4, caller);
  net::CPacket request;
  net::buildPacket(request, net::peerCall, static_cast<std::int16_t>(numbers.size()), numbers);
  EXPECT_NE(net::sendPacket(*s, request), 0);
  net::CPacket answer;
  s->setDeadline(net::Socket::Clock::now() + std::chrono::seconds(10));
  return net::recvPacket(*s, answer);
}

TEST_F(AddrBookEditorTest, BlackListedCallerIsRefusedByTheListener) {
  book().selectRow(2);
  ASSERT_TRUE(editor().load());
  editor().typeButton(2)->click();
  editor().acceptClicked();
  EXPECT_EQ(book().cell(1, 2), "B");
  EXPECT_EQ(book().phonesType(2), 2);
  EXPECT_NE(bookFile().find("bob\tB\t300000005\tfrom work\r\n"), std::string::npos);

  phone().serverState = phone::ServerState::loggedIn;  // the listener serves only then
  EXPECT_EQ(callFrom(phone().cnf.userPort, 300000005), 0);
  EXPECT_EQ(phone().callState.stateClient.load(), net::ClientState::clientIdle);
  EXPECT_EQ(phone().numberType.load(), 2);
  EXPECT_EQ(phone().number.load(), 300000005);
}

}  // namespace
}  // namespace orvalis::testing
