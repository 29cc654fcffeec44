#include "host/model/result_message.h"

#include "kelvra_at_records.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace kelvra {
namespace {

struct ResultMessage {
    std::int32_t code;
    std::string_view text;
};

// Ascending by code; checked below against the protocol's own list of codes.
constexpr ResultMessage kResultMessages[] = {
    {0, " None error ..."},
    {1, " Data(package) crc is incorrect..."},
    {2, " Product type does not match..."},
    {3, " Is busy ..."},
    {4, " Is in use..."},
    {5, " _ATErrorPrivate_HD"},
    {6, " Configuration error..."},
    {7, " _ATErrorPrivate_ALG"},
    {8, " Target option byte configuration error..."},
    {9, " Target not connected..."},
    {10, " Target erase failed..."},
    {11, " Target write data failed..."},
    {12, " Target read data failed..."},
    {13, " Time out ..."},
    {14, " The extends flash initial failed..."},
    {15, " The extends flash erase failed..."},
    {16, " The extends flash write failed..."},
    {17, " The extends flash verify failed..."},
    {18, " The extends flash read failed..."},
    {19, " The package size error..."},
    {20, " Target chip type error..."},
    {21, " Target read unique id failed..."},
    {22, " The writer update firmware failed..."},
    {23, " Target chip protection is enabled..."},
    {24, " Target write flash failed..."},
    {25, " Target write option byte failed..."},
    {32, " The project of version error..."},
    {33, " The project of oem error..."},
    {34, " The project of magic tag error..."},
    {35, " The project of data corruption..."},
    {36, " The project disabled..."},
    {37, " The package size error..."},
    {38, " The communication port error..."},
    {39, " The communication package error..."},
    {40, " The writer needs to be disconnected from the online connection...."},
    {41, " The communication port send package error..."},
    {42, " The communication port waiting response time out..."},
    {43, " The command is unsupported ..."},
    {44, " The config is(has) null value ..."},
    {45, " Target flash algorithm config error..."},
    {46, " The Incorrect authentication password..."},
    {47, " Disconnect the device and power it on again to complete the upgrade..."},
    {49, " The voltage error (abnormal power supply)..."},
    {50, " The debugger is connected..."},
    {51, " The wireless is connecting..."},
    {52, " _ATErrorPrivate_1"},
    {53, " _ATErrorPrivate_2"},
    {54, " _ATErrorPrivate_3"},
    {55, " _ATErrorPrivate_4"},
    {56, " _ATErrorPrivate_5"},
    {59, " The project version is too low..."},
    {60, " _ATErrorPrivate_6"},
    {61, " Target FT(CP) validation fails ..."},
    {62, " Target password error(such as KPROM)..."},
    {63, " Target SPI flash not connected(such as NUVOTON) ..."},
    {64, " Target abnormal access detected..."},
    {65, " Target write KPROM failed..."},
    {66, " Target write XOM failed..."},
    {67, " Target write secure setting failed..."},
    {68, " Target write MTP failed..."},
    {69, " The FUS not running ..."},
    {70, " The stack not running ..."},
    {71, " FUS upgrade error ..."},
    {72, " Stack upgrade error ..."},
    {73, " FUS state image not found..."},
    {74, " FUS state image corrupt..."},
    {75, " FUS state image not authentic..."},
    {76, " FUS state image not enough space..."},
    {77, " FUS state user abort..."},
    {78, " FUS state erase error..."},
    {79, " FUS state write error..."},
    {80, " FUS authorization tag was not found..."},
    {81, " FUS custom authorization tag was not found..."},
    {82, " FUS authorization key locked..."},
    {83, " FUS UFB corrupt..."},
    {84, " FUS state other error ..."},
    {85, " Stack type error ..."},
    {86, " _ATErrorPrivate_SOF"},
    {87, " The vendor signature data is corrupted"},
    {88, " The current target chip has no signature"},
    {89, "Factory test not enable"},
    {90, "Factory test no SRAM firmware"},
    {91, "Factory test no flash firmware"},
    {92, "Write SRAM failure"},
    {93, "AT baudrate "},
    {94, "Broadcast direction error"},
    {95, "Need keep AT frame to send"},
    {96, "AT UART AT disabled"},
    {97, "AT factory test failed"},
    {98, "ATcmd initial failed"},
    {99, " Firmware quantity exceeds"},
};

#define KVAT_CODE_VALUE_(name, value) value,
constexpr std::int32_t kResultCodes[] = {KVAT_RESULT_CODE_LIST(KVAT_CODE_VALUE_)};
#undef KVAT_CODE_VALUE_

constexpr bool table_matches_codes() {
    if (std::size(kResultMessages) != std::size(kResultCodes)) return false;
    for (std::size_t i = 0; i < std::size(kResultCodes); ++i) {
        if (kResultMessages[i].code != kResultCodes[i]) return false;
        if (i > 0 && kResultCodes[i - 1] >= kResultCodes[i]) return false;
    }
    return true;
}
static_assert(table_matches_codes(),
              "every result code needs exactly one message, in ascending code order");

}  // namespace

std::string_view ATCmdErrorMessage(std::int32_t code) {
    if (code == kHostErrVerify) return " Verify failed: the data read back differs from the data written";
    const auto *end = std::end(kResultMessages);
    const auto *it = std::lower_bound(
        std::begin(kResultMessages), end, code,
        [](const ResultMessage &entry, std::int32_t wanted) { return entry.code < wanted; });
    return it != end && it->code == code ? it->text : std::string_view();
}

}  // namespace kelvra
