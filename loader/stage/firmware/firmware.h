#pragma once
// Kestrup's own code for the chip, as its builds were committed (scripts/make-second-stage builds
// them from the .spin sources beside this file) and the build embeds them.

#include <cstdint>
#include <span>

namespace kestrup::firmware {

// The pilot as the ROM loads it.
std::span<const std::uint8_t> pilot();
// The bootstrap as the pilot takes it: the longs of its cog code.
std::span<const std::uint8_t> bootstrap();
// The second stage's two builds. Loads into RAM get one without the EEPROM's code, a third
// smaller, which the ROM's slow line takes 70 ms less to carry.
std::span<const std::uint8_t> ramStage();
std::span<const std::uint8_t> eepromStage();
// The identify program, as the bootstrap takes it in the stage's place: a whole image.
std::span<const std::uint8_t> identifier();

}  // namespace kestrup::firmware
