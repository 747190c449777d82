// `zuzodoriv dump FILE [--layer N] [--json] [--raw]`: the descriptors (and engine data) inside a
// document's tagged blocks, as the debug dump or as a JSON tree.
#include <cstring>
#include <iostream>
#include <memory>

#include "psd/report/DebugTrace.h"
#include "psd/descriptor/DescriptorBlocks.h"
#include "psd/descriptor/DescriptorJson.h"
#include "psd/file/PSDFile.h"
#include "psd/layer/PSDLayer.h"
#include "psd/text/PDFData.h"
#include "tools/Command.h"
#include "tools/OpenDocument.h"

namespace zuzodoriv {
namespace {

using ojson = nlohmann::ordered_json;

struct Options {
    std::string file;
    long layer = -1;  // all layers
    bool json = false;
    bool raw = false;
};

// ---- Reading blocks

// Engine data of the document: a run of key/value pairs, read as one dictionary.
Kernel::Counted<PSD::PDFData> ParseEngineRun(std::vector<uint8_t> const& bytes) {
    std::vector<uint8_t> wrapped = {'<', '<', '\n'};
    wrapped.insert(wrapped.end(), bytes.begin(), bytes.end());
    wrapped.insert(wrapped.end(), {'\n', '>', '>'});
    PSD::PDFDataParser parser(wrapped.data(), wrapped.size());
    return parser.Parse();
}

struct Output {
    Options const& o;
    ojson json;
    bool failed = false;

    static std::string Key(uint32_t key) { return PSD::KeyToString(key); }

    // One descriptor-based block: text to stdout, or a JSON entry appended to `into`.
    void Block(Kernel::Counted<Kernel::InStreamSeekable> const& source,
               PSD::PSDTaggedBlockInfo const& b, bool swap, std::string const& indent,
               ojson& into) {
        uint32_t key = b.key;
        PSD::ParseData pd;
        pd.m_swap = swap;
        std::vector<PSD::BlockDescriptor> found;
        auto result = PSD::ReadStoredBlockDescriptors(source, b, pd, found);
        if (result == PSD::BlockDescriptorResult::NotDescriptorBased) return;
        bool ok = result == PSD::BlockDescriptorResult::Parsed;
        failed = failed || !ok;
        for (size_t i = 0; i < found.size(); ++i) {
            bool complete = ok || i + 1 < found.size();
            std::string label = found[i].label;
            if (o.json) {
                ojson entry = {{"key", Key(key)}};
                if (!label.empty()) entry["label"] = label;
                entry["descriptor"] = PSD::DescriptorJson(found[i].descriptor);
                if (!complete) entry["error"] = ErrorText(pd.m_report);
                into.push_back(entry);
            } else {
                std::cout << indent << "block '" << Key(key) << "'"
                          << (label.empty() ? "" : " " + label)
                          << (complete ? "" : " (incomplete: " + ErrorText(pd.m_report) + ")")
                          << "\n";
                PSD::String text;
                {
                    PSD::DebugDumpCapture capture(text);
                    found[i].descriptor.DebugDump(1);
                }
                std::cout << text;
            }
        }
        if (found.empty() && !ok) {
            if (o.json)
                into.push_back({{"key", Key(key)}, {"error", ErrorText(pd.m_report)}});
            else
                std::cout << indent << "block '" << Key(key) << "': " << ErrorText(pd.m_report)
                          << "\n";
        }
    }

    void EngineBlock(uint32_t key, std::vector<uint8_t> const& bytes, std::string const& indent,
                     ojson& into) {
        auto tree = ParseEngineRun(bytes);
        if (!tree) failed = true;
        if (o.json) {
            ojson entry = ojson::object();
            if (key) entry["key"] = Key(key);
            if (tree)
                entry["engine_data"] = PSD::EngineDataJson(tree.Get());
            else
                entry["error"] = "engine data does not parse";
            into.push_back(entry);
            return;
        }
        if (key)
            std::cout << indent << "block '" << Key(key) << "' engine data, " << bytes.size()
                      << " bytes\n";
        if (!tree) {
            std::cout << indent << "  (does not parse)\n";
            return;
        }
        PSD::String text;
        {
            PSD::DebugDumpCapture capture(text);
            tree->PrintValue(0);
        }
        std::cout << text << "\n";
    }
};

// The body of a recorded block as its own stream window.
Kernel::Counted<Kernel::LimitedInStream> BodyOf(
    Kernel::Counted<Kernel::InStreamSeekable> const& source, PSD::PSDTaggedBlockInfo const& b) {
    if (!source || !source->Seek(b.position)) return nullptr;
    return Kernel::LimitedInStream::Create(source, b.length);
}

int DumpDocument(Options const& o) {
    auto opened = OpenDocument(o.file);
    if (!opened.doc) {
        std::cerr << o.file << ": " << opened.error << "\n";
        return 1;
    }
    auto& doc = opened.doc;
    if (o.layer >= 0 && size_t(o.layer) >= doc->m_layers.size()) {
        std::cerr << o.file << ": no layer " << o.layer << " (the document has "
                  << doc->m_layers.size() << ")\n";
        return 1;
    }
    Output out{o, ojson::object()};
    Kernel::Counted<Kernel::InStreamSeekable> source = doc->GetSourceStream();
    out.json["file"] = o.file;
    bool swap = doc->m_layers.empty() || !doc->m_layers[0] ? true : doc->m_layers[0]->GetSourceSwap();
    if (!o.json) std::cout << o.file << "\n";
    if (o.layer < 0) {
        ojson blocks = ojson::array();
        if (!o.json) std::cout << "document\n";
        for (auto const& b : doc->m_documentBlocks) {
            if (b.key == PSD::Key("Txt2")) {
                auto body = BodyOf(source, b);
                if (!body) continue;
                std::vector<uint8_t> bytes(size_t(std::min<uint64_t>(b.length, body->GetSize())));
                if (!bytes.empty() && !body->ReadExact(bytes.data(), bytes.size())) continue;
                out.EngineBlock(b.key, bytes, "  ", blocks);
            } else {
                out.Block(source, b, swap, "  ", blocks);
            }
        }
        out.json["document"] = blocks;
    }
    ojson layers = ojson::array();
    for (size_t i = 0; i < doc->m_layers.size(); ++i) {
        if (o.layer >= 0 && size_t(o.layer) != i) continue;
        auto const& layer = doc->m_layers[i];
        if (!layer) continue;
        ojson blocks = ojson::array();
        if (!o.json) std::cout << "layer " << i << " \"" << std::string(layer->m_name) << "\"\n";
        for (auto const& b : layer->m_blocks)
            out.Block(layer->m_stream ? layer->m_stream : source, b, layer->GetSourceSwap(), "  ", blocks);
        layers.push_back({{"index", i}, {"name", std::string(layer->m_name)}, {"blocks", blocks}});
    }
    out.json["layers"] = layers;
    if (o.json) std::cout << JsonOutput(out.json) << "\n";
    return out.failed ? 1 : 0;
}

// A file holding one descriptor (with or without its version) or engine data.
int DumpRaw(Options const& o) {
    std::string why;
    Kernel::Counted<Kernel::InStreamSeekable> in(Kernel::FileInStream::Open(o.file, &why));
    if (!in) {
        std::cerr << o.file << ": cannot open: " << why << "\n";
        return 1;
    }
    std::vector<uint8_t> bytes(size_t(in->GetSize()));
    if (!bytes.empty() && !in->ReadExact(bytes.data(), bytes.size())) {
        std::cerr << o.file << ": read failed\n";
        return 1;
    }
    size_t first = 0;
    while (first < bytes.size() && std::strchr(" \t\r\n\f", bytes[first]) && bytes[first]) ++first;
    bool engine = first < bytes.size() && std::strchr("<[/(", bytes[first]) && bytes[first];
    Output out{o, ojson::object()};
    ojson entries = ojson::array();
    if (engine) {
        // One value, or a run of key/value pairs as the document-level engine data is stored.
        PSD::PDFDataParser single(bytes.data(), bytes.size());
        auto tree = single.Parse();
        bool run = !tree.DynamicCast<PSD::PDFDictionary>();
        if (run) {
            out.EngineBlock(0, bytes, "", entries);
        } else if (o.json) {
            entries.push_back({{"engine_data", PSD::EngineDataJson(tree.Get())}});
        } else {
            PSD::String text;
            {
                PSD::DebugDumpCapture capture(text);
                tree->PrintValue(0);
            }
            std::cout << text << "\n";
        }
    } else {
        bool versioned =
            bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 16;
        auto s = Kernel::MemoryInStream::Create(bytes);
        PSD::ParseData pd;
        PSD::Descriptor d;
        bool ok = versioned ? d.Parse(*s, pd) : d.ParseDesc(*s, pd);
        out.failed = !ok;
        if (o.json) {
            ojson entry = {{"descriptor", PSD::DescriptorJson(d)}};
            if (!ok) entry["error"] = ErrorText(pd.m_report);
            entries.push_back(entry);
        } else {
            if (!ok) std::cout << "incomplete: " << ErrorText(pd.m_report) << "\n";
            PSD::String text;
            {
                PSD::DebugDumpCapture capture(text);
                d.DebugDump(0);
            }
            std::cout << text;
        }
    }
    if (o.json) {
        out.json["file"] = o.file;
        out.json["raw"] = entries;
        std::cout << JsonOutput(out.json) << "\n";
    }
    return out.failed ? 1 : 0;
}

CommandRegistrar s_reg([](CLI::App& app) {
    auto opts = std::make_shared<Options>();
    auto* cmd =
        app.add_subcommand("dump", "Show the descriptors inside a document's tagged blocks");
    cmd->add_option("file", opts->file,
                    "Document to read (or, with --raw, a descriptor or engine-data file)")
        ->required();
    cmd->add_option("--layer", opts->layer, "Only this layer (index as listed by info)");
    cmd->add_flag("--json", opts->json, "The trees as JSON");
    cmd->add_flag("--raw", opts->raw,
                  "FILE is one raw descriptor (with or without version) or engine data");
    cmd->callback([opts] { ExitStatus() = opts->raw ? DumpRaw(*opts) : DumpDocument(*opts); });
});

}  // namespace
}  // namespace zuzodoriv
