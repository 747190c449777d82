// Subcommands of the zuzodoriv tool register themselves here, one source file each.
#pragma once

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace PSD {
class PSDFile;
}

namespace zuzodoriv {

using SetupFn = void (*)(CLI::App& app);

struct CommandRegistrar {
    explicit CommandRegistrar(SetupFn fn);
};
std::vector<SetupFn>& Commands();

// The process exit status a subcommand leaves behind.
int& ExitStatus();

// Parts of `info`: each aspect of a document adds its JSON fields and its text lines. Sections
// run in ascending order.
struct InfoSection {
    int order;
    void (*json)(PSD::PSDFile const& doc, nlohmann::json& out);
    void (*text)(PSD::PSDFile const& doc, std::ostream& out);
};
struct InfoSectionRegistrar {
    explicit InfoSectionRegistrar(InfoSection s);
};
std::vector<InfoSection>& InfoSections();

// JSON as the tool writes it: indented, any byte that is not UTF-8 shown as U+FFFD rather than
// aborting the command.
template <class Json>
std::string JsonOutput(Json const& j, int indent = 2) {
    return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// True when stdout/stderr is a terminal (progress bars only then).
bool IsTerminal(int fd);

}  // namespace zuzodoriv
