// Fills: what paints a shape or text. A solid colour, or a fill whose body stays in its
// serialised form (gradients and patterns kept as the descriptor that describes them).
#pragma once

#include "host/kernel/Counted.h"
#include "host/renderer/Colour.h"

namespace Renderer {

enum class FillType : int {
    Solid = 0,
    Descriptor = 1,
};

// How an area is filled: the base of the fills layers and shapes use.
class Fill : public Kernel::Countable {
public:
    virtual FillType GetType() const = 0;
};

// A fill of one colour.
class FillSolid : public Fill {
public:
    // Null when the colour is null.
    static Kernel::Counted<FillSolid> Create(Kernel::Consolidated<Colour> colour);

    FillType GetType() const override { return FillType::Solid; }
    Kernel::Consolidated<Colour> const& GetColour() const { return m_colour; }

private:
    FillSolid() = default;
    Kernel::Consolidated<Colour> m_colour;
};

// A fill kept as the descriptor it was read from, for fills the model does not draw itself.
class FillDescriptor : public Fill {
public:
    // Null when the payload is null.
    static Kernel::Counted<FillDescriptor> Create(Kernel::Counted<Kernel::Countable> payload);

    FillType GetType() const override { return FillType::Descriptor; }
    Kernel::Counted<Kernel::Countable> const& GetPayload() const { return m_payload; }
    // The payload as its own type; null when it is something else.
    template <class T>
    Kernel::Counted<T> GetPayloadAs() const {
        return m_payload.DynamicCast<T>();
    }

private:
    FillDescriptor() = default;
    Kernel::Counted<Kernel::Countable> m_payload;
};

}  // namespace Renderer
