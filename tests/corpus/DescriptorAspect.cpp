// Aspect "descriptors": every descriptor-based layer block of a document that opens parses, and
// the engine data of every type layer holds the layer's text of the reference.
#include <algorithm>

#include "psd/descriptor/DescriptorBlocks.h"
#include "psd/layer/PSDLayer.h"
#include "tests/corpus/Corpus.h"

namespace corpus {
namespace {

// Layer blocks whose bodies are descriptors ("PlLd" only in its version 4).
constexpr uint32_t kKeys[] = {
    PSD::Key("lfx2"), PSD::Key("lfxs"), PSD::Key("lmfx"), PSD::Key("TySh"), PSD::Key("SoCo"),
    PSD::Key("GdFl"), PSD::Key("PtFl"), PSD::Key("vstk"), PSD::Key("vogk"), PSD::Key("PlLd"),
    PSD::Key("vibA"), PSD::Key("blwh"), PSD::Key("clrL"), PSD::Key("CgEd"),
};

std::string ErrorText(PSD::PSDReport const& r) {
    return r.m_error ? std::string(r.m_error->Report()) : std::string("no error recorded");
}

// The text of a type layer's engine data: "EngineDict" > "Editor" > "Text".
bool EngineText(PSD::Descriptor const& text, std::string& out, std::string& why) {
    auto item = text.Get<PSD::DescriptorItemPDFData>("EngineData");
    if (!item) return why = "no EngineData item", false;
    auto tree = item->GetPDFData().DynamicCast<PSD::PDFDictionary>();
    if (!tree) return why = "EngineData does not parse", false;
    auto editor = tree->GetValue("EngineDict", "Editor").DynamicCast<PSD::PDFDictionary>();
    if (!editor || !editor->GetValue("Text").DynamicCast<PSD::PDFString>())
        return why = "no EngineDict/Editor/Text", false;
    out = editor->GetString("Text");
    return true;
}

// The editor ends every text with a carriage return that the reference leaves out, and the
// reference writes line breaks as they are stored.
std::string WithoutFinalReturn(std::string s) {
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
}

Outcome CheckDescriptors(Document& d, std::string& why) {
    if (!d.doc) return Outcome::NotApplicable;
    auto const& refLayers = d.ref.value("layers", nlohmann::json::array());
    size_t checked = 0;
    auto const& layers = d.doc->m_layers;
    for (size_t i = 0; i < layers.size(); ++i) {
        auto const& layer = layers[i];
        if (!layer) continue;
        Kernel::Counted<Kernel::InStreamSeekable> source =
            layer->m_stream ? layer->m_stream : d.doc->GetSourceStream();
        for (auto const& b : layer->m_blocks) {
            if (std::find(std::begin(kKeys), std::end(kKeys), b.key) == std::end(kKeys)) continue;
            std::string where =
                "layer " + std::to_string(i) + " '" + std::string(PSD::KeyToString(b.key)) + "'";
            if (!source || !source->Seek(b.position))
                return why = where + ": body not reachable", Outcome::Mismatch;
            auto body = Kernel::LimitedInStream::Create(source, b.length);
            PSD::ParseData pd;
            pd.m_swap = layer->GetSourceSwap();
            std::vector<PSD::BlockDescriptor> found;
            auto result = PSD::ReadBlockDescriptors(b.key, *body, pd, found);
            if (result == PSD::BlockDescriptorResult::NotDescriptorBased) continue;
            if (result == PSD::BlockDescriptorResult::Failed)
                return why = where + ": " + ErrorText(pd.m_report), Outcome::Mismatch;
            ++checked;
            if (b.key != PSD::Key("TySh")) continue;
            std::string text;
            if (found.empty() || !EngineText(found[0].descriptor, text, why))
                return why = where + ": " + why, Outcome::Mismatch;
            if (i < refLayers.size() && refLayers[i].contains("text")) {
                std::string expected = refLayers[i]["text"].get<std::string>();
                if (WithoutFinalReturn(text) != expected)
                    return why = where + ": text \"" + text + "\", reference \"" + expected + "\"",
                           Outcome::Mismatch;
            }
        }
    }
    return checked ? Outcome::Match : Outcome::NotApplicable;
}

AspectRegistrar s_descriptors({"descriptors", 40, CheckDescriptors});

}  // namespace
}  // namespace corpus
