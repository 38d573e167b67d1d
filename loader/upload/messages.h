#pragma once
// Every text the loader shows, byte for byte as users and scripts know them (misspellings included).

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace kestrup::text {

inline constexpr std::string_view timeOut = "Time Out";
inline constexpr std::string_view hardwareLost = "Hardware lost";
inline constexpr std::string_view unableToWrite = "Unable to write";
inline constexpr std::string_view transmitStall = "Transmit stall on";
inline constexpr std::string_view unableToRead = "Unable to read";

inline constexpr std::string_view propellerVersion = "Propeller Version = ";
inline constexpr std::string_view writeInRam = "Write in RAM Lenght=";
inline constexpr std::string_view verify = "Verify ..";
inline constexpr std::string_view okRun = "..OK -> RUN";
inline constexpr std::string_view checksumError = "CheckSum Error";

// The command line's EEPROM stages, after the checksum.
inline constexpr std::string_view checksumOk = "..OK";
inline constexpr std::string_view programming = "Programming EEPROM ..";
inline constexpr std::string_view programmingFailed = "EEPROM programming failed";
inline constexpr std::string_view verifying = "Verifying EEPROM ..";
inline constexpr std::string_view verifyFailed = "EEPROM verify failed";
inline constexpr std::string_view eepromRun = "..EEPROM OK -> RUN";
inline constexpr std::string_view eepromShutdown = "..EEPROM OK -> SHUTDOWN";

// These two carry their own CR, so they leave as CR LF.
inline constexpr std::string_view startUpload = "Start Upload\r";
inline constexpr std::string_view noSuchFile = "No such file\r";
// Followed by the system's words for why a read of the image file failed.
inline constexpr std::string_view unableToReadFile = "Unable to read the file: ";
inline constexpr std::string_view codeError = "Code Error -> Abort";

// The path an upload took, on a line of its own: "second stage at 921600 baud", "ROM path (why)".
inline constexpr std::string_view stagePath = "second stage at ";
inline constexpr std::string_view romPath = "ROM path";
inline constexpr std::string_view onCrystalPll = " on the crystal's PLL";
inline constexpr std::string_view crystalSilent = " (silent on the crystal's PLL: loaded on the RC clock)";
// After the path line, when the chip took the image but will not start it.
// After the EEPROM's pages by the second stage: all of them, or the one that failed.
inline std::string eepromPagesLine(std::size_t pages) {
    return "EEPROM: " + std::to_string(pages) + " pages written and verified";
}
inline std::string eepromPageFailedLine(std::size_t page, bool acknowledged) {
    return "EEPROM page " + std::to_string(page) + (acknowledged ? " read back wrong" : " not acknowledged");
}

inline std::string notStartedLine(std::uint16_t pbase) {
    char text[80];
    std::snprintf(text, sizeof text, "the chip will not start the image: pbase is 0x%04X, not 0x0010", pbase);
    return text;
}

// --identify's description of the board, a line each.
inline std::string megahertz(std::int64_t hz) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MHz", static_cast<double>(hz) / 1e6);
    return text;
}
inline constexpr std::string_view rcClock = "RC clock: ";
inline constexpr std::string_view crystal = "crystal: ";
inline constexpr std::string_view noCrystal = "no crystal";
inline constexpr std::string_view noEeprom = "no EEPROM";
inline constexpr std::string_view eeprom = "EEPROM: ";
inline constexpr std::string_view eepromSizeNotTold =
    "EEPROM: answers; its size is not told (its first bytes come again every 8 KB)";
inline constexpr std::string_view port = "port: ";
// A chip that answered whose board the identify program did not describe.
inline constexpr std::string_view notDescribed = "board not described";

inline constexpr std::string_view noComCaption = "No COM";
inline constexpr std::string_view notFoundSuffix = " not found";

}  // namespace kestrup::text
