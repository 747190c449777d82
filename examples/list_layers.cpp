// list_layers FILE: the layer tree as an editor shows it, top first, with each layer's kind and
// rectangle.
#include <iostream>
#include <string>

#include "host/kernel/Stream.h"
#include "psd/file/PSDOpenFile.h"
#include "psd/file/PSDLayerTree.h"
#include "psd/layer/PSDLayerKind.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: list_layers FILE\n";
        return 2;
    }
    std::string message;
    PSD::PSDReport report;
    auto doc = PSD::OpenFile(argv[1], {}, report, message);
    if (!doc) {
        std::cerr << argv[1] << ": " << message << "\n";
        return 1;
    }
    auto tree = PSD::BuildLayerTree(*doc);
    PSD::WalkLayerTree(tree, [](PSD::PSDLayerNode const& node, unsigned depth) {
        PSD::PSDLayer const& l = *node.layer;
        std::cout << std::string(depth * 2, ' ') << PSD::LayerKind(l) << " \""
                  << std::string(l.m_name) << "\" (" << l.m_left << "," << l.m_top << ")-("
                  << l.m_right << "," << l.m_bottom << ")\n";
        return true;
    });
    return 0;
}
