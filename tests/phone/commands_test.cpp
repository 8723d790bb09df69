// The call keys of the controller: dial, answer and the two floor keys.

#include "net/packet_io.h"
#include "phone_fixture.h"
#include "support/socket_pair.h"

namespace orvalis::testing {
namespace {

using net::ClientState;
using net::SlotState;
using phone::FindState;
using phone::Floor;
using phone::PhoneText;

// The phone's end of a call connection in sockClient; the test holds the
// other end.
class CallLineTest : public PhoneTest {
 protected:
  net::SocketPtr connect(ClientState state) {
    const SocketPair link = makeLoopbackConnection();
    link.far->setDeadline(net::Socket::Clock::now() + std::chrono::seconds(5));
    phone().callState.sockClient.set(link.near);
    phone().callState.stateClient = state;
    return link.far;
  }
  static net::CPacket received(net::Socket& far) {
    net::CPacket message;
    net::recvPacket(far, message);
    return message;
  }
};

TEST_F(PhoneTest, DialRefusesInOrderOfPrecedenceThenSearches) {
  makePhone();
  phone().dial(300000000);
  EXPECT_EQ(ui.display(), phone().text(PhoneText::txtRegistrationRequired));
  phone().cnf.userNumber = 200000001;
  phone().dial(300000000);
  EXPECT_EQ(ui.display(), phone().text(PhoneText::txtConnectedToServer));

  loggedInPhone();
  phone().dial(12345678);
  EXPECT_EQ(ui.display(), phone().text(PhoneText::txtWrongNumber));
  phone().dial(200000001);
  EXPECT_EQ(ui.display(), phone().text(PhoneText::txtYourNumber));
  EXPECT_EQ(slotState(net::reqFindUser), SlotState::slotIdle);

  phone().dial(300000000);
  EXPECT_EQ(ui.display(), phone().text(PhoneText::txtSearch));
  EXPECT_EQ(phone().takeNumber(), 300000000);
  EXPECT_EQ(phone().findState.load(), FindState::searching);
  EXPECT_EQ(net::readInt32(request(net::reqFindUser).payload, 8), 300000000);
  phone().dial(400000000);  // a search runs: nothing
  EXPECT_EQ(net::readInt32(request(net::reqFindUser).payload, 8), 300000000);
  EXPECT_EQ(phone().takeNumber(), 0);
}

TEST_F(PhoneTest, FoundUserAfterAnIncomingCallTookTheStateStartsNothing) {
  loggedInPhone();
  phone().dial(300000000);
  phone().callState.stateClient = ClientState::clientIncoming;
  finish(net::reqFindUser, net::ansUserFound, std::vector<std::uint8_t>(12, 1));
  phone().tick();
  EXPECT_EQ(phone().findState.load(), FindState::idle);
  EXPECT_EQ(phone().callState.stateClient.load(), ClientState::clientIncoming);
  EXPECT_EQ(phone().callThreads(), 0u);
  phone().callState.stateClient = ClientState::clientIdle;
}

TEST_F(CallLineTest, DialAnswersARingingCallOnceWithTheOwnMode) {
  loggedInPhone();
  phone().cnf.msa = 3;
  const net::SocketPtr far = connect(ClientState::clientIncoming);
  phone().dial(0);
  const net::CPacket accept = received(*far);
  EXPECT_EQ(accept.code, net::peerAccept);
  EXPECT_EQ(net::readInt32(accept.payload, 0), 3);

  phone().callState.stateClient = ClientState::clientTalk;
  phone().dial(0);  // during the call: nothing
  phone().hangUp();
  EXPECT_EQ(received(*far).code, 0);  // closed, nothing more was sent
  EXPECT_EQ(phone().callState.stateClient.load(), ClientState::clientIdle);
}

TEST_F(CallLineTest, FloorKeysNeedAPushToTalkCallAndTheRightFloor) {
  loggedInPhone();
  const net::SocketPtr far = connect(ClientState::clientTalk);
  phone().requestFloor();  // no push-to-talk in this call
  EXPECT_EQ(phone().floor.load(), Floor::listening);

  phone().callMode = net::callModePushToTalk;
  phone().offerFloor();  // nothing to offer while listening
  EXPECT_EQ(phone().floor.load(), Floor::listening);
  phone().requestFloor();
  EXPECT_EQ(phone().floor.load(), Floor::pending);
  phone().requestFloor();  // already under way
  EXPECT_EQ(received(*far).code, net::peerFloorRequest);

  phone().floor = Floor::talking;
  phone().offerFloor();
  EXPECT_EQ(phone().floor.load(), Floor::pending);
  EXPECT_EQ(received(*far).code, net::peerFloorOffer);  // not a second request
  phone().hangUp();
}

}  // namespace
}  // namespace orvalis::testing
