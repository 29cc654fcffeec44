// kvat config: reads a writer configuration document as "-setcfg" does, or writes the
// configuration dialog's defaults.
#include "cli/verb.h"
#include "host/files/json_file.h"
#include "host/files/writer_documents.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

namespace kvat::cli {
namespace {

using namespace kelvra::files;

struct config_options {
    std::string file;
    std::string output;
    bool defaults = false;
    int row = 1;
};

std::string row_message(const char *format, int row, const std::string &text = {}) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, row);
    return buffer + text;
}

void print_fields(const kvat_writer_config &config) {
    for (const config_field &field : config_fields()) {
        std::cout << field.group << '/' << field.key << " = " << field_value(config, field) << '\n';
    }
}

int write_document(const std::string &path, const kvat_writer_config &config) {
    json_file out(path, json_file::mode::write);
    if (!out.is_open()) {
        std::cerr << "kvat config: cannot write " << path << " (a name ending in \".json\" is needed)\n";
        return kExitFailed;
    }
    write_writer_config(out, config);
    return kExitOk;
}

// The checks a run makes on the file of a "-setcfg" row, with the texts it shows.
int read_config(const config_options &options, kvat_writer_config &config) {
    std::ifstream probe(options.file, std::ios::binary);
    if (!probe) {
        std::cerr << row_message("第%d条命令文件不存在，无法执行AT命令", options.row) << '\n';
        return kExitInput;
    }
    if (probe.peek() == std::ifstream::traits_type::eof()) {
        std::cerr << row_message("第%d条命令文件为空，无法执行AT命令", options.row) << '\n';
        return kExitInput;
    }
    json_file file(options.file, json_file::mode::read);
    const std::string error = read_writer_config(file, config);
    if (error.empty()) return kExitOk;
    if (!file.is_open()) {
        // A run lets such a file pass its check; the command then fails with this text.
        std::cerr << error << '\n';
    } else {
        std::cerr << row_message("第%d条命令json文件数据出错，无法执行AT命令\n错误信息：", options.row, error) << '\n';
    }
    return kExitFailed;
}

int run(const config_options &options) {
    kvat_writer_config config = writer_config_defaults();
    if (options.defaults) {
        if (options.output.empty()) {
            std::cout << writer_config_document(config).dump(4) << '\n';
            return kExitOk;
        }
        return write_document(options.output, config);
    }
    if (options.file.empty()) {
        std::cerr << "kvat config: give FILE.json or --defaults\n";
        return kExitUsage;
    }
    config = kvat_writer_config{};
    if (const int result = read_config(options, config); result != kExitOk) return result;
    print_fields(config);
    return options.output.empty() ? kExitOk : write_document(options.output, config);
}

[[maybe_unused]] const bool registered = register_verb("config", [](CLI::App &app) {
    auto options = std::make_shared<config_options>();
    CLI::App *verb =
        app.add_subcommand("config", "Read a writer configuration document as \"-setcfg\" does, or write the defaults");
    verb->add_option("FILE", options->file, "writer configuration document (.json)");
    verb->add_flag("--defaults", options->defaults, "use the configuration dialog's defaults instead of FILE");
    verb->add_option("-o,--output", options->output, "write the configuration as a document to this .json file");
    verb->add_option("--row", options->row, "row number shown in the run's error texts (default 1)");
    verb->callback([options] { set_exit_code(run(*options)); });
});

}  // namespace
}  // namespace kvat::cli
