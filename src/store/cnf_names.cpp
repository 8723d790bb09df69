#include "store/cnf_names.h"

#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <system_error>
#include <vector>

namespace orvalis::store {

namespace {

// Calls f(name, field) for every named field in record order.
template <class Rec, class F>
void forEachNamedField(Rec& r, F&& f) {
  f("language", r.language); f("startUp", r.startUp); f("dynamicPort", r.dynamicPort);
  f("localHost", r.localHost); f("userPort", r.userPort);
  f("useReDirectCallIn", r.useReDirectCallIn); f("reHost", r.reHost);
  f("autoReach", r.autoReach);
  f("soundSp", r.soundSp); f("soundMc", r.soundMc); f("soundSystem", r.soundSystem);
  f("msa", r.msa); f("tmHoldVoice", r.tmHoldVoice); f("activationVoice", r.activationVoice);
  f("nGsm", r.nGsm); f("nGsmDelay", r.nGsmDelay); f("musicTakt", r.musicTakt);
  f("musicVol", r.musicVol); f("musicSel", r.musicSel); f("musicCallIn", r.musicCallIn);
  f("musicCallOut", r.musicCallOut); f("musicFind", r.musicFind); f("musicMsg", r.musicMsg);
  f("userNumber", r.userNumber); f("passwdLen", r.passwdLen); f("passwd", r.passwd);
  f("useSocks5CallOut", r.useSocks5CallOut); f("serverHost", r.serverHost);
  f("serverPort", r.serverPort); f("connectServer", r.connectServer);
  f("socks5Host", r.socks5Host); f("socks5Port", r.socks5Port); f("socks5Auth", r.socks5Auth);
  f("socks5UserLen", r.socks5UserLen); f("socks5User", r.socks5User);
  f("socks5PasswdLen", r.socks5PasswdLen); f("socks5Passwd", r.socks5Passwd);
  f("httpHost", r.httpHost); f("httpPort", r.httpPort); f("gateHost", r.gateHost);
  f("gatePort", r.gatePort);
}

// The length field that follows a text, or nullptr.
LeInt32* lengthOf(CnfData& r, std::string_view name) {
  if (name == "passwd") return &r.passwdLen;
  if (name == "socks5User") return &r.socks5UserLen;
  if (name == "socks5Passwd") return &r.socks5PasswdLen;
  return nullptr;
}

bool isLengthField(std::string_view name) {
  return name == "passwdLen" || name == "socks5UserLen" || name == "socks5PasswdLen";
}

template <class T>
std::optional<T> parseWhole(std::string_view text) {
  T n{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return n;
}

// ---- as text -------------------------------------------------------------------

std::string format(const LeInt32& f) { return std::to_string(f.get()); }
std::string format(const PortField& f) { return std::to_string(f.get()); }
std::string format(const IpField& f) {
  const std::uint32_t addr = f.get();
  std::array<char, INET_ADDRSTRLEN> buf{};
  ::inet_ntop(AF_INET, &addr, buf.data(), buf.size());
  return buf.data();
}
template <std::size_t N>
std::string format(const TextField<N>& f) { return f.str(); }

// ---- from text -----------------------------------------------------------------

bool assign(LeInt32& f, std::string_view text) {
  const auto n = parseWhole<std::int32_t>(text);
  if (n) f = *n;
  return n.has_value();
}

bool assign(PortField& f, std::string_view text) {
  // Whole range checked before narrowing: 65536 must not become 0.
  const auto n = parseWhole<std::uint32_t>(text);
  if (!n || *n < 1 || *n > 65535) return false;
  f = static_cast<std::uint16_t>(*n);
  return true;
}

bool assign(IpField& f, std::string_view text) {
  const std::string s(text);
  std::uint32_t addr = 0;
  // The broadcast address is the old parser's failure value, refused alike.
  if (::inet_pton(AF_INET, s.c_str(), &addr) != 1 || addr == 0xFFFFFFFFu) return false;
  f = addr;
  return true;
}

template <std::size_t N>
bool assign(TextField<N>& f, std::string_view text) {
  f = text;
  return true;
}

}  // namespace

std::span<const std::string_view> cnfFieldNames() {
  static const std::vector<std::string_view> names = [] {
    std::vector<std::string_view> v;
    const CnfData probe;
    forEachNamedField(probe, [&](std::string_view name, const auto&) { v.push_back(name); });
    return v;
  }();
  return names;
}

std::optional<std::string> getCnfField(const CnfData& cnf, std::string_view name) {
  std::optional<std::string> value;
  forEachNamedField(cnf, [&](std::string_view n, const auto& field) {
    if (n == name) value = format(field);
  });
  return value;
}

bool setCnfField(CnfData& cnf, std::string_view name, std::string_view value) {
  if (isLengthField(name)) return false;
  LeInt32* length = lengthOf(cnf, name);
  // Their editors refuse blanks.
  if (length && value.find(' ') != std::string_view::npos) return false;
  bool done = false;
  forEachNamedField(cnf, [&](std::string_view n, auto& field) {
    if (n == name) done = assign(field, value);
  });
  if (done && length) {
    // The stored (possibly cut) text, not the input, gives the length.
    const auto text = getCnfField(cnf, name);
    *length = static_cast<std::int32_t>(text->size());
  }
  return done;
}

}  // namespace orvalis::store
