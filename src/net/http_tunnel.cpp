#include "net/http_tunnel.h"

#include <array>
#include <cctype>

#include "net/address.h"
#include "net/hex_packet.h"

namespace orvalis::net {

namespace {

constexpr std::string_view lengthKey = "content-length:";

// Bytes kept from header and body: LF and printable ASCII. CR and other
// control or high bytes are dropped.
bool kept(std::uint8_t byte) { return byte == '\n' || (byte >= 32 && byte <= 127); }

// The decimal number in characters first..last (counting from 1) of a
// line: leading blanks, then digits up to the first other character; 0
// when there are none.
std::size_t numberAt(std::string_view line, std::size_t first, std::size_t last) {
  if (line.size() < first) return 0;
  const std::string_view field = line.substr(first - 1, last - first + 1);
  std::size_t i = field.find_first_not_of(' ');
  std::size_t value = 0;
  for (; i < field.size() && std::isdigit(static_cast<unsigned char>(field[i])); ++i) {
    value = value * 10 + static_cast<std::size_t>(field[i] - '0');
  }
  return value;
}

}  // namespace

std::string httpRequestText(std::uint32_t address, std::uint16_t port, std::string_view hex) {
  std::string text = "GET http://";
  text += formatAddress(address);
  text += ':';
  text += std::to_string(port);
  text += '/';
  text += hex;
  text += " HTTP/1.0\r\nCache-Control: no-cache\r\nProxy-Connection: keep-alive\r\n\r\n";
  return text;
}

int httpSendRequest(Socket& socket, const store::CnfData& cnf, const CPacket& request) {
  if (headerSize + request.payloadSize() > maxTunnelRequest) return 0;
  const std::string text =
      httpRequestText(cnf.serverHost.get(), cnf.serverPort.get(), hexEncodePacket(request));
  // A failed send shows as a missing answer, which the caller reads next.
  socket.send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return 1;
}

int recvByte(Socket& socket) {
  std::array<std::uint8_t, 1> byte{};
  return socket.recv(byte) == 1 ? byte[0] : -1;
}

int httpReadAnswer(Socket& socket, CPacket& answer) {
  HttpAnswerReader reader;
  for (;;) {
    const int byte = recvByte(socket);
    if (byte < 0) {
      reader.finish();
      break;
    }
    if (!reader.feed(static_cast<std::uint8_t>(byte))) break;
  }
  if (!reader.answer()) return 0;
  answer = *reader.answer();
  return 1;
}

bool HttpAnswerReader::feed(std::uint8_t byte) {
  if (phase_ == Phase::header) {
    if (byte == '\n') {
      endLine();
    } else if (kept(byte)) {
      const char c = static_cast<char>(std::tolower(byte));
      if (line_.size() < keptPrefix) line_.push_back(c);
      ++lineLength_;
      if (!keyFound_) {
        if (c == lengthKey[keyMatched_]) {
          keyFound_ = ++keyMatched_ == lengthKey.size();
        } else {
          // The key has no repeated prefix, so a mismatch restarts it.
          keyMatched_ = c == lengthKey[0] ? 1 : 0;
        }
      }
    }
  } else if (phase_ == Phase::body) {
    ++bodyRead_;
    if (kept(byte)) body_.push_back(static_cast<char>(byte));
    if (bodyRead_ == contentLength_) endBody();
  }
  return phase_ != Phase::done;
}

void HttpAnswerReader::finish() {
  if (phase_ == Phase::header) endHeader();
  if (phase_ == Phase::body) endBody();
}

void HttpAnswerReader::endLine() {
  const std::string_view line = line_;
  if (lineLength_ == 0) {
    ++counter_;
    endHeader();
    return;
  }
  if (line.starts_with("http")) counter_ += numberAt(line, 10, 12) == 200 ? 1 : 2;
  if (!lengthKnown_ && keyFound_) {
    lengthKnown_ = true;
    contentLength_ = numberAt(line, 16, 20);
  }
  line_.clear();
  lineLength_ = 0;
  keyMatched_ = 0;
  keyFound_ = false;
}

void HttpAnswerReader::endHeader() {
  phase_ = counter_ < 2 || contentLength_ == 0 ? Phase::done : Phase::body;
}

void HttpAnswerReader::endBody() {
  phase_ = Phase::done;
  if (counter_ > 2) return;
  const std::size_t first = body_.find_first_not_of(" \n");
  if (first == std::string::npos) return;
  const std::size_t last = body_.find_last_not_of(" \n");
  answer_ = hexDecodePacket(std::string_view(body_).substr(first, last - first + 1), maxAnswerHex);
}

std::optional<CPacket> parseHttpAnswer(std::span<const std::uint8_t> bytes) {
  HttpAnswerReader reader;
  for (const std::uint8_t byte : bytes) {
    if (!reader.feed(byte)) break;
  }
  reader.finish();
  return reader.answer();
}

}  // namespace orvalis::net
