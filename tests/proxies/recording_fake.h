#pragma once
// A stand-in COM object whose every virtual slot records which slot was called on which object with which
// arguments. One fake serves every interface: the proxies are driven by slot index, and the fake answers
// each slot with the same thunk shape (eight integer arguments, as the x64 convention passes them).
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace fakes {

inline constexpr int recordedArguments = 8;
using Word = std::uintptr_t;
using SlotFunction = Word (*)(void* self, Word, Word, Word, Word, Word, Word, Word, Word);

struct Call {
    const void* object;
    int slot;
    std::array<Word, recordedArguments> arguments;
};

inline std::vector<Call>& callLog()
{
    static std::vector<Call> log;
    return log;
}

// The value every recording slot returns: recognisable and a success code.
constexpr Word slotResult(int slot)
{
    return 0x5A00 + static_cast<Word>(slot);
}

template <int Slot>
Word recordSlot(void* self, Word a, Word b, Word c, Word d, Word e, Word f, Word g, Word h)
{
    callLog().push_back({self, Slot, {a, b, c, d, e, f, g, h}});
    return slotResult(Slot);
}

template <int... Slots>
constexpr std::array<void*, sizeof...(Slots)> makeTable(std::integer_sequence<int, Slots...>)
{
    return {reinterpret_cast<void*>(&recordSlot<Slots>)...};
}

inline constexpr int maxSlots = 96;
inline const std::array<void*, maxSlots> recordingTable =
    makeTable(std::make_integer_sequence<int, maxSlots>());

// Laid out as a COM object: the first word is the table pointer.
struct RecordingObject {
    const void* const* table = recordingTable.data();
    template <class T> T* as() { return reinterpret_cast<T*>(this); }
};

// Calls slot `slot` of any COM object with the sentinel arguments 0x11, 0x22, ... 0x88.
inline Word callSlot(void* object, int slot)
{
    auto* table = *static_cast<void* const* const*>(object);
    auto fn = reinterpret_cast<SlotFunction>(table[slot]);
    return fn(object, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88);
}

// Arguments narrower than a word arrive with unspecified upper bits; the sentinels differ in the low byte.
inline bool sentinelMatches(Word value, int index)
{
    return (value & 0xFF) == static_cast<Word>(0x11 * (index + 1));
}

} // namespace fakes
