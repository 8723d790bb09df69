#pragma once
// The HTTP tunnel: one server transaction as one HTTP GET through a proxy,
// the request's hex text in the path and the answer's in the body.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/packet.h"
#include "net/socket.h"
#include "store/cnf_data.h"

namespace orvalis::net {

// The longest request message the tunnel carries.
inline constexpr std::size_t maxTunnelRequest = 99;

// Sends the GET for the request to serverHost:serverPort of the settings.
// 1 when sent, 0 when the request has more than 99 bytes.
int httpSendRequest(Socket& socket, const store::CnfData& cnf, const CPacket& request);
// 1 when an acceptable HTTP answer carried a well-formed message, now in
// answer; 0 otherwise.
int httpReadAnswer(Socket& socket, CPacket& answer);
// The next byte (0..255), or -1 when the connection yields nothing more.
int recvByte(Socket& socket);

// The GET text for a request's hex text, to a server at address (network
// order) and port (host order).
std::string httpRequestText(std::uint32_t address, std::uint16_t port, std::string_view hex);

// Reads an HTTP answer one byte at a time. The header ends at an empty
// line; only an answer whose one status line says 200 and whose first
// content-length is above 0 has its body read, up to that length, and the
// body must be the hex text of a message.
class HttpAnswerReader {
 public:
  // Takes the next byte; false once no more bytes are wanted.
  bool feed(std::uint8_t byte);
  // The connection yielded nothing more.
  void finish();
  bool done() const { return phase_ == Phase::done; }
  // The message carried, once done; nullopt for an unacceptable answer.
  const std::optional<CPacket>& answer() const { return answer_; }

 private:
  enum class Phase { header, body, done };
  void endLine();
  void endHeader();
  void endBody();

  // Only the start of a header line is ever looked at; the rest is just
  // scanned for the content-length key, so a long line costs no memory.
  static constexpr std::size_t keptPrefix = 20;
  Phase phase_ = Phase::header;
  std::string line_;
  std::size_t lineLength_ = 0;
  std::size_t keyMatched_ = 0;  // characters of "content-length:" matched
  bool keyFound_ = false;
  bool lengthKnown_ = false;
  int counter_ = 0;
  std::size_t contentLength_ = 0;
  std::size_t bodyRead_ = 0;
  std::string body_;
  std::optional<CPacket> answer_;
};

// The message carried by a whole HTTP answer; nullopt when unacceptable.
std::optional<CPacket> parseHttpAnswer(std::span<const std::uint8_t> bytes);

}  // namespace orvalis::net
