// list_layers FILE: the layer tree as an editor shows it, top first, with each layer's kind and
// rectangle.
#include <iostream>
#include <string>

#include "host/kernel/Stream.h"
#include "psd/file/PSDFile.h"
#include "psd/file/PSDLayerTree.h"
#include "psd/layer/PSDLayerKind.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: list_layers FILE\n";
        return 2;
    }
    std::string why;
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(argv[1], &why));
    PSD::PSDReport report;
    auto doc = in ? PSD::PSDFile::Create(in, PSD::CreateOptions{}, report) : nullptr;
    if (!doc) {
        std::cerr << argv[1] << ": " << (in ? std::string(report.m_error->Report()) : why) << "\n";
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
