// Bitmaps as NumPy arrays (shared, read-only, keeping the bitmap alive) and arrays as new
// bitmaps; PNG files written from arrays through the library's PNG writer.
#include <cstring>

#include "Binding.h"
#include "host/raster/PNG.h"

namespace zuzodoriv::python {

namespace {

py::dtype DtypeOf(unsigned bytesPerSample) {
    switch (bytesPerSample) {
        case 1:
            return py::dtype::of<uint8_t>();
        case 2:
            return py::dtype::of<uint16_t>();
        default:
            return py::dtype::of<float>();
    }
}

char const* DtypeName(unsigned bytesPerSample) {
    return bytesPerSample == 1 ? "uint8" : bytesPerSample == 2 ? "uint16" : "float32";
}

void MarkReadOnly(py::array& a) {
    py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
}

// The array's samples as one C-contiguous block of its own dtype, which must be dtype.
py::array Contiguous(py::array const& array, py::dtype const& dtype, char const* what) {
    if (!array.dtype().is(dtype) && !array.dtype().equal(dtype))
        throw py::type_error(std::string(what) + " must have dtype " +
                             dtype.attr("name").cast<std::string>() + ", not " +
                             array.dtype().attr("name").cast<std::string>());
    return py::array::ensure(array, py::array::c_style);
}

}  // namespace

py::array BitmapArray(BitmapRef const& bm, unsigned channels, bool flat) {
    auto const& info = bm->GetFormatInfo();
    auto h = py::ssize_t(bm->GetHeight()), w = py::ssize_t(bm->GetWidth());
    auto bps = py::ssize_t(info.bytesPerSample), bpp = py::ssize_t(bm->GetBytesPerPixel());
    std::vector<py::ssize_t> shape = {h, w}, strides = {py::ssize_t(bm->GetRowBytes()), bpp};
    if (!flat) {
        shape.push_back(py::ssize_t(channels));
        strides.push_back(bps);
    }
    if (bm->IsEmpty() || !bm->GetData()) {
        py::array empty(DtypeOf(info.bytesPerSample), shape);
        MarkReadOnly(empty);
        return empty;
    }
    // The capsule holds a reference: the bitmap lives as long as any array over it.
    auto* keep = new BitmapRef(bm);
    py::capsule owner(keep, [](void* p) { delete static_cast<BitmapRef*>(p); });
    py::array a(DtypeOf(info.bytesPerSample), shape, strides, bm->GetData(), owner);
    MarkReadOnly(a);
    return a;
}

BitmapRef ArrayBitmap(py::array const& array, Raster::Format format) {
    Raster::FormatInfo info;
    if (!Raster::GetFormatInfo(format, info)) throw py::value_error("no pixel format for this document");
    py::array a = Contiguous(array, DtypeOf(info.bytesPerSample), "the array");
    unsigned colour = info.channels > 1 ? info.channels - 1 : 1;
    unsigned given;
    if (a.ndim() == 2 && (colour == 1 || info.channels == 1))
        given = 1;
    else if (a.ndim() == 3)
        given = unsigned(a.shape(2));
    else
        given = 0;
    bool alphaGiven = info.channels > 1 && given == info.channels;
    if (given != colour && !alphaGiven)
        throw py::value_error("the array must be height x width x " + std::to_string(colour) +
                              (info.channels > 1 ? " or " + std::to_string(info.channels) : std::string()) +
                              " (" + DtypeName(info.bytesPerSample) + ")");
    if (a.shape(0) > py::ssize_t(UINT32_MAX) || a.shape(1) > py::ssize_t(UINT32_MAX))
        throw py::value_error("the array is too large");
    auto h = uint32_t(a.shape(0)), w = uint32_t(a.shape(1));
    uint8_t const* src = static_cast<uint8_t const*>(a.data());
    BitmapRef bm;
    {
        py::gil_scoped_release unlocked;
        bm = Raster::DynamicBitmap::Create(w, h, format);
        if (!alphaGiven && info.channels > 1)
            bm->FillChannel(unsigned(info.alphaChannel),
                            info.isFloat ? 1.0 : info.bytesPerSample == 2 ? 65535.0 : 255.0);
        size_t pixelIn = size_t(given) * info.bytesPerSample, pixelOut = bm->GetBytesPerPixel();
        for (uint32_t y = 0; y < h; ++y) {
            uint8_t const* s = src + size_t(y) * w * pixelIn;
            uint8_t* d = bm->GetRow(y);
            if (pixelIn == pixelOut)
                std::memcpy(d, s, size_t(w) * pixelIn);
            else
                for (uint32_t x = 0; x < w; ++x) std::memcpy(d + x * pixelOut, s + x * pixelIn, pixelIn);
        }
    }
    return bm;
}

namespace {

// PNG files from uint8 or uint16 arrays: height x width (grey) or x 1, 2, 3, 4 channels.
void WritePNG(py::object const& target, py::array const& array) {
    std::string path = PathOf(target);
    unsigned bytes = array.dtype().itemsize() == 2 ? 2 : 1;
    py::array a = Contiguous(array, DtypeOf(bytes), "a PNG's array");
    unsigned channels = a.ndim() == 2 ? 1 : a.ndim() == 3 ? unsigned(a.shape(2)) : 0;
    if (channels < 1 || channels > 4) throw py::value_error("a PNG's array is height x width x 1 to 4");
    Raster::PNGImageInfo info;
    info.height = uint32_t(a.shape(0));
    info.width = uint32_t(a.shape(1));
    info.bitDepth = bytes * 8;
    static Raster::PNGColour const kColours[] = {Raster::PNGColour::Grey, Raster::PNGColour::GreyAlpha,
                                                 Raster::PNGColour::RGB, Raster::PNGColour::RGBA};
    info.colour = kColours[channels - 1];
    size_t rowBytes = size_t(info.width) * channels * bytes;
    auto const* src = static_cast<uint8_t const*>(a.data());
    std::string why;
    bool ok;
    {
        py::gil_scoped_release unlocked;
        ok = Raster::WritePNGFile(
            path, info,
            [&](uint32_t y, uint8_t* row) {
                std::memcpy(row, src + size_t(y) * rowBytes, rowBytes);
                return true;
            },
            {}, &why);
    }
    if (!ok) ThrowError("cannot write " + path + ": " + why);
}

}  // namespace

void BindPixels(py::module_& m) {
    // NumPy's C API is looked up once, behind a static guard that imports numpy and so may give up
    // the GIL: first reached from two decoding threads at once, one waits on the guard holding the
    // GIL the other needs. Done here, while the import holds the only thread.
    for (unsigned bytes : {1u, 2u, 4u}) (void)DtypeOf(bytes);
    (void)py::dtype::of<bool>();
    m.def("write_png", &WritePNG, py::arg("path"), py::arg("array"),
          "Write a uint8 or uint16 array (height x width, or x 1-4 channels: grey, grey+alpha, RGB, "
          "RGBA) as a PNG file with the library's writer.");
}

}  // namespace zuzodoriv::python
