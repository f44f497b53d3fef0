// A controller's status as one read leaves it, in a form that crosses
// process boundaries: the recorder sends it to the windows that watch.
#pragma once

#include <array>
#include <cstdint>

// The values one status read of a controller leaves in its TTervoxDevice:
// what a window needs to show the controller as if it had read it itself.
struct TTervoxStatusImage {
  enum : std::uint32_t {
    fSynchronized = 1u << 0,
    fStatusReady = 1u << 1,
    fInfoReaded = 1u << 2,
    fRun = 1u << 3,
    fManual = 1u << 4,
    fPrg = 1u << 5,
    fAT = 1u << 6,
    fHold = 1u << 7,
    fSkip = 1u << 8,
    fPrgRun = 1u << 9,
    fEV1 = 1u << 10,
    fEV2 = 1u << 11,
    fEV3 = 1u << 12,
  };
  std::int32_t DeviceID = 0;
  std::int32_t PV = 0, SV = 0, Out1 = 0, Out2 = 0;
  std::int32_t EV1 = 0, EV2 = 0, EV3 = 0;
  std::int32_t Digit = 0, InputLowerLimit = 0, InputUpperLimit = 0;
  std::int32_t PeriodicTimeOut1 = 0, PeriodicTimeOut2 = 0;
  std::array<std::int32_t, 3> OpMode{};
  double CT1 = 0.0, CT2 = 0.0;
  std::uint32_t Flags = 0;
  std::array<char, 20> ModelType{};

  bool Has(std::uint32_t AFlag) const { return (Flags & AFlag) != 0; }
  bool operator==(const TTervoxStatusImage&) const = default;
};
