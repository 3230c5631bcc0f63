// Plain values behind the channel-model classes. No Python here: the packet
// core encodes these, the binding layer wraps them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::channel {

// Position of an RTDType or TCType member in declaration order; also the byte
// the board receives for it.
using SensorType = std::uint8_t;

inline constexpr SensorType kRtdTypeCount = 9;
inline constexpr SensorType kTcTypeCount = 8;

enum class ChannelKind : std::uint8_t { None = 0, Rtd = 1, Tc = 2 };
inline constexpr std::size_t kChannelKindCount = 3;

// The two enumerations of sensor types, RTDType and TCType.
enum class SensorFamily : std::uint8_t { Rtd, Tc };
inline constexpr std::size_t kSensorFamilyCount = 2;

struct ChannelTypeValue {
    ChannelKind kind = ChannelKind::None;
    SensorType sensor = 0;  // always 0 for ChannelKind::None
};

struct ChannelConfigRecord {
    ChannelTypeValue channel_type;
    float max_resistance = 0;
    float min_resistance = 0;
    float shunt_resistance = 0;
    float r_ain0 = 0;
};

}  // namespace kelvane::channel
