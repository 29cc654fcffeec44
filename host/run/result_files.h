// The run's result files: each writer's result folder, the records its reading commands
// returned appended or written there, and the blocks that print them in the message log when
// print-info is on. Every write that fails is reported with its path and reason.
#pragma once

#include "host/run/message_log.h"

#include <kelvra_at_records.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kelvra::run {

class ResultFiles {
public:
    using SaveFailed = std::function<void(const std::string &path, const std::string &reason)>;
    // Diagnostic lines (what clearing a folder removed).
    using Console = std::function<void(const std::string &line)>;

    // Printed blocks are written under `print_mutex`, the lock that also orders the run's step
    // lines, so that no other line lands inside a block.
    ResultFiles(MessageLog &log, std::mutex &print_mutex, SaveFailed on_failure, Console console);

    // Makes a result folder, emptied first with `clear`; false (and reported) when it cannot.
    bool MakeFolder(const std::string &folder, bool clear);
    void ClearFolder(const std::string &path);

    // A record returned to `port`, saved in `folder` ("" for none) and printed with `print`.
    void WriterInfo(const std::string &folder, const std::string &port, const kvat_writer_info *info, bool print);
    void WriterConfig(const std::string &folder, const std::string &port, const kvat_writer_config *config, bool print);
    void ChipId(const std::string &folder, const std::string &port, const kvat_chip_id *id, bool print);
    void MemoryBlock(const std::string &folder, const std::string &port, const kvat_memory_block *block, bool print);
    void OptionBytes(const std::string &folder, const std::string &port, const kvat_option_bytes *bytes, bool print);
    void BroadcastRecord(const std::string &folder, const kvat_broadcast_record *record);
    void ProjectInfo(const std::string &folder, const std::string &port, const kvat_project_info_record *info,
                     bool print);

    // Printed blocks; call with the print mutex held.
    void PrintByteList(const std::uint8_t *bytes, std::size_t n, const std::string &port, const char *label);
    void PrintHexDump(const std::uint8_t *bytes, std::uint32_t address, std::size_t n);

private:
    void AppendResult(const std::string &folder, const char *name, const void *data, std::size_t size);
    template <typename Fill>
    void WriteJsonResult(const std::string &folder, const char *name, Fill &&fill);

    MessageLog &log_;
    std::mutex &print_mutex_;
    SaveFailed on_failure_;
    Console console_;
};

}  // namespace kelvra::run
