// zuzodoriv: inspect, export, verify, convert and create layered documents.
#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "tools/Command.h"

namespace zuzodoriv {

std::vector<SetupFn>& Commands() {
    static std::vector<SetupFn> c;
    return c;
}
CommandRegistrar::CommandRegistrar(SetupFn fn) { Commands().push_back(fn); }

std::vector<InfoSection>& InfoSections() {
    static std::vector<InfoSection> s;
    return s;
}
InfoSectionRegistrar::InfoSectionRegistrar(InfoSection s) {
    auto& v = InfoSections();
    v.insert(std::upper_bound(v.begin(), v.end(), s, [](InfoSection const& a, InfoSection const& b) {
                 return a.order < b.order;
             }),
             s);
}

int& ExitStatus() {
    static int s = 0;
    return s;
}

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

}  // namespace zuzodoriv

int main(int argc, char** argv) {
    CLI::App app{"zuzodoriv: read and write layered PSD and PSB documents"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "zuzodoriv 0.1.0");
    for (auto fn : zuzodoriv::Commands()) fn(app);
    try {
        app.parse(argc, argv);
    } catch (CLI::ParseError const& e) {
        return app.exit(e);
    }
    return zuzodoriv::ExitStatus();
}
