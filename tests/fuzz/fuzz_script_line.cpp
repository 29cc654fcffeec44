// One script line: parsing never overruns the record, and a parsed record writes back as a
// line that parses again.
#include "host/script/cli_parse.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static kelvra::script::cli_parse parser;
    const std::string line(reinterpret_cast<const char *>(data), size);
    kelvra::S_CmdParam record{};
    std::string message;
    if (parser.parse_line(line, record, message) != 0) return 0;
    const std::string again = parser.command_line(record);
    if (!again.empty()) {
        kelvra::S_CmdParam second{};
        parser.parse_line(again, second, message);
    }
    return 0;
}
