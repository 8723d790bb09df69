#pragma once
// CnfData: the phone's settings record, laid out byte for byte as the
// 4376-byte file "phone201.cnf".

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "store/cnf_field.h"

namespace orvalis::store {

inline constexpr std::size_t cnfSize = 4376;
inline constexpr std::size_t melodySize = 1024;
inline constexpr std::size_t secretSize = 16;  // passwd, socks5User, socks5Passwd

// Values of connectServer.
enum class ConnectWay : std::int32_t { direct = 0, socks5 = 1, httpTunnel = 2, gate = 3 };
// Values of msa (transmit activation).
enum class Msa : std::int32_t { constantly = 0, button = 1, detector = 2, buttonAndDetector = 3 };
// Values of soundSystem.
enum class SoundSystem : std::int32_t { fullDuplex = 0, halfDuplex = 1 };
// Only 0 is full duplex: a damaged value must not leave the speaker and the
// microphone fighting over a card that cannot do both.
constexpr bool isHalfDuplex(std::int32_t soundSystem) {
  return soundSystem != static_cast<std::int32_t>(SoundSystem::fullDuplex);
}
// nGsmDelay: 0..6 are fixed spools of 0 to 3 s; this one adapts.
inline constexpr std::int32_t spoolAutomatic = 7;
// Melody slots, in the order of the record (and of musicSel).
enum class MelodySlot : std::int32_t { callIn = 0, callOut = 1, find = 2, msg = 3 };

struct CnfData {
  CnfData() = default;
  CnfData(const CnfData&) = delete;
  CnfData& operator=(const CnfData&) = delete;

  TextField<100> language;
  LeInt32 startUp;
  LeInt32 dynamicPort;
  IpField localHost;
  PortField userPort;
  LeInt32 useReDirectCallIn;
  IpField reHost;
  // The record's former spare word: automatic reachability (port mapping,
  // else the server's call relay) when not 0. Files written before it
  // hold 0 there, so their phones behave as before; new files get 1.
  LeInt32 autoReach;
  LeInt32 soundSp;
  LeInt32 soundMc;
  LeInt32 soundSystem;
  LeInt32 msa;
  LeInt32 tmHoldVoice;
  LeInt32 activationVoice;
  LeInt32 nGsm;
  LeInt32 nGsmDelay;
  LeInt32 musicTakt;
  LeInt32 musicVol;
  LeInt32 musicSel;
  TextField<melodySize> musicCallIn;
  TextField<melodySize> musicCallOut;
  TextField<melodySize> musicFind;
  TextField<melodySize> musicMsg;
  LeInt32 userNumber;
  LeInt32 passwdLen;
  TextField<secretSize> passwd;
  LeInt32 useSocks5CallOut;
  IpField serverHost;
  PortField serverPort;
  LeInt32 connectServer;
  IpField socks5Host;
  PortField socks5Port;
  LeInt32 socks5Auth;
  LeInt32 socks5UserLen;
  TextField<secretSize> socks5User;
  LeInt32 socks5PasswdLen;
  TextField<secretSize> socks5Passwd;
  IpField httpHost;
  PortField httpPort;
  IpField gateHost;
  PortField gatePort;

  // Melody slot 0..3 (MelodySlot); nullptr for any other value.
  TextField<melodySize>* melody(std::int32_t slot);
  const TextField<melodySize>* melody(std::int32_t slot) const;

  // The file image of the record.
  std::array<std::uint8_t, cnfSize> encode() const;
  // Lays up to cnfSize bytes over the record from its start; bytes the
  // input does not supply keep their values, excess input is ignored.
  void overlay(std::span<const std::uint8_t> bytes);
  // Every byte of the record becomes that of the other record.
  void copyFrom(const CnfData& other) { overlay(other.encode()); }
  // All 4376 bytes zero.
  void zero();
};

// Calls f(field) for every field in file order; the fields tile the record.
template <class Rec, class F>
void forEachField(Rec& r, F&& f) {
  f(r.language); f(r.startUp); f(r.dynamicPort); f(r.localHost); f(r.userPort);
  f(r.useReDirectCallIn); f(r.reHost); f(r.autoReach); f(r.soundSp); f(r.soundMc);
  f(r.soundSystem); f(r.msa); f(r.tmHoldVoice); f(r.activationVoice); f(r.nGsm);
  f(r.nGsmDelay); f(r.musicTakt); f(r.musicVol); f(r.musicSel); f(r.musicCallIn);
  f(r.musicCallOut); f(r.musicFind); f(r.musicMsg); f(r.userNumber); f(r.passwdLen);
  f(r.passwd); f(r.useSocks5CallOut); f(r.serverHost); f(r.serverPort);
  f(r.connectServer); f(r.socks5Host); f(r.socks5Port); f(r.socks5Auth);
  f(r.socks5UserLen); f(r.socks5User); f(r.socks5PasswdLen); f(r.socks5Passwd);
  f(r.httpHost); f(r.httpPort); f(r.gateHost); f(r.gatePort);
}

// The record is the file image: every offset of the layout is fixed here.
static_assert(sizeof(CnfData) == cnfSize);
static_assert(offsetof(CnfData, language) == 0);
static_assert(offsetof(CnfData, startUp) == 100);
static_assert(offsetof(CnfData, dynamicPort) == 104);
static_assert(offsetof(CnfData, localHost) == 108);
static_assert(offsetof(CnfData, userPort) == 112);
static_assert(offsetof(CnfData, useReDirectCallIn) == 116);
static_assert(offsetof(CnfData, reHost) == 120);
static_assert(offsetof(CnfData, autoReach) == 124);
static_assert(offsetof(CnfData, soundSp) == 128);
static_assert(offsetof(CnfData, soundMc) == 132);
static_assert(offsetof(CnfData, soundSystem) == 136);
static_assert(offsetof(CnfData, msa) == 140);
static_assert(offsetof(CnfData, tmHoldVoice) == 144);
static_assert(offsetof(CnfData, activationVoice) == 148);
static_assert(offsetof(CnfData, nGsm) == 152);
static_assert(offsetof(CnfData, nGsmDelay) == 156);
static_assert(offsetof(CnfData, musicTakt) == 160);
static_assert(offsetof(CnfData, musicVol) == 164);
static_assert(offsetof(CnfData, musicSel) == 168);
static_assert(offsetof(CnfData, musicCallIn) == 172);
static_assert(offsetof(CnfData, musicCallOut) == 1196);
static_assert(offsetof(CnfData, musicFind) == 2220);
static_assert(offsetof(CnfData, musicMsg) == 3244);
static_assert(offsetof(CnfData, userNumber) == 4268);
static_assert(offsetof(CnfData, passwdLen) == 4272);
static_assert(offsetof(CnfData, passwd) == 4276);
static_assert(offsetof(CnfData, useSocks5CallOut) == 4292);
static_assert(offsetof(CnfData, serverHost) == 4296);
static_assert(offsetof(CnfData, serverPort) == 4300);
static_assert(offsetof(CnfData, connectServer) == 4304);
static_assert(offsetof(CnfData, socks5Host) == 4308);
static_assert(offsetof(CnfData, socks5Port) == 4312);
static_assert(offsetof(CnfData, socks5Auth) == 4316);
static_assert(offsetof(CnfData, socks5UserLen) == 4320);
static_assert(offsetof(CnfData, socks5User) == 4324);
static_assert(offsetof(CnfData, socks5PasswdLen) == 4340);
static_assert(offsetof(CnfData, socks5Passwd) == 4344);
static_assert(offsetof(CnfData, httpHost) == 4360);
static_assert(offsetof(CnfData, httpPort) == 4364);
static_assert(offsetof(CnfData, gateHost) == 4368);
static_assert(offsetof(CnfData, gatePort) == 4372);

}  // namespace orvalis::store
