// The command list, checked whole. scripts/core-test builds this file:
// - as it is: a probe kind joins the command list and encodes, and every
//   kind's kMaxSize is exactly what its largest value encodes to (exits 1,
//   naming the kind, otherwise);
// - with one slip each, which must not compile (-DWITHOUT_CODE,
//   -DWITHOUT_ENCODER, -DDUPLICATE_CODE, -DOVER_CAPACITY) or must fail the
//   size check (-DSHORT_MAX_SIZE).
#include <cxxabi.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>

#include "hal/common/src/packets/commands.hpp"

namespace {

using namespace kelvane::packets;
using kelvane::channel::ChannelKind;

struct ProbePayload {
#ifndef WITHOUT_CODE
#ifdef DUPLICATE_CODE
    static constexpr CommandCode kCode{SetTemperaturePayload::kCode.value};
#else
    static constexpr CommandCode kCode{0x7F};
#endif
#endif
#if defined(SHORT_MAX_SIZE)
    static constexpr std::size_t kMaxSize = 1;
#elif defined(OVER_CAPACITY)
    static constexpr std::size_t kMaxSize = kBodyCapacity - kBodyHeaderSize + 1;
#else
    static constexpr std::size_t kMaxSize = 2;
#endif
#ifndef WITHOUT_ENCODER
    void encode(Body& out) const {
        out.put_u8(0xAB);
        out.put_u8(0xCD);
    }
#endif
};

using ProbeCommand = CommandWith<ProbePayload>;

// Each kind's value that encodes to the most bytes; a kind whose size does
// not vary encodes the most as it is.
template <class Kind>
Kind largest() {
    return Kind{};
}

template <>
SetChannelPayload largest<SetChannelPayload>() {
    return {{{ChannelKind::Rtd, 0}, 1.0f, 2.0f, 3.0f, 4.0f}};
}

template <class Kind>
std::string name_of() {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(Kind).name(), nullptr, nullptr, &status),
                                                std::free);
    return status == 0 ? name.get() : typeid(Kind).name();
}

template <class Kind>
bool max_size_is_exact() {
    const PacketFrame frame = encode_frame(ProbeCommand{0, largest<Kind>()}, 0);
    const std::size_t written = frame.body_length - kBodyHeaderSize;
    if (written == Kind::kMaxSize) return true;
    std::fprintf(stderr, "payload_kind: %s has kMaxSize %zu, but its largest value encodes to %zu bytes\n",
                 name_of<Kind>().c_str(), Kind::kMaxSize, written);
    return false;
}

template <class... Kinds>
bool every_max_size_is_exact(const CommandRecord<Kinds...>*) {
    return (max_size_is_exact<Kinds>() & ...);
}

}  // namespace

int main() {
    const PacketFrame frame = encode_frame(ProbeCommand{2, ProbePayload{}}, 1);
    std::uint8_t out[kPacketCapacity];
    frame.write_to(out);
    const std::uint8_t expected[] = {0x11, 0, 0, 0, 7, 0x7F, 0, 0, 0, 2, 0xAB, 0xCD};
    bool ok = frame.packet_size() == sizeof expected && std::memcmp(out, expected, sizeof expected) == 0;
    if (!ok) std::fprintf(stderr, "payload_kind: the probe kind encodes wrong\n");
    ok &= every_max_size_is_exact(static_cast<const ProbeCommand*>(nullptr));
    return ok ? 0 : 1;
}
