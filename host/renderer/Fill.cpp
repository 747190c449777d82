#include "host/renderer/Fill.h"

namespace Renderer {

Kernel::Counted<FillSolid> FillSolid::Create(Kernel::Consolidated<Colour> colour) {
    if (!colour) return nullptr;
    Kernel::Counted<FillSolid> f(new FillSolid);
    f->m_colour = std::move(colour);
    return f;
}

Kernel::Counted<FillDescriptor> FillDescriptor::Create(Kernel::Counted<Kernel::Countable> payload) {
    if (!payload) return nullptr;
    Kernel::Counted<FillDescriptor> f(new FillDescriptor);
    f->m_payload = std::move(payload);
    return f;
}

}  // namespace Renderer
