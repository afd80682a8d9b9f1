// PNG encoding with the platform's imaging component (the Windows build):
// the Windows Imaging Component's PNG encoder, writing 8-bit greyscale into a
// memory stream whose bytes are then copied out.
#include <windows.h>
#include <objidl.h>
#include <wincodec.h>

#include "usbcam/images.h"

namespace usbcam {
namespace {

// Releases a COM interface when it goes out of scope.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (p_ != nullptr) p_->Release();
    }
    ComRef(const ComRef &) = delete;
    ComRef &operator=(const ComRef &) = delete;
    T **Out() { return &p_; }
    T *operator->() const { return p_; }
    T *Get() const { return p_; }

private:
    T *p_ = nullptr;
};

// COM for the calling thread for the time of one encoding. A thread that
// already joined another apartment keeps it (RPC_E_CHANGED_MODE): the
// imaging factory works in either.
class ComScope {
public:
    ComScope() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    bool Usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
    HRESULT Result() const { return result_; }

private:
    HRESULT result_;
};

std::string Hex(HRESULT result) {
    char text[16];
    wsprintfA(text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

bool Failed(HRESULT result, const char *step, std::string *error) {
    if (SUCCEEDED(result)) return false;
    *error = std::string("PNG: the imaging component failed to ") + step + " (HRESULT " + Hex(result) + ")";
    return true;
}

}  // namespace

bool EncodePng(const GreyImage &image, std::vector<uint8_t> *out, std::string *error) {
    out->clear();
    if (image.Width == 0 || image.Height == 0 ||
        uint64_t{image.Width} * image.Height != image.Pixels.size() || image.Pixels.size() > 0x7FFFFFFFu) {
        *error = "PNG: no image to encode";
        return false;
    }
    ComScope com;
    if (!com.Usable()) return !Failed(com.Result(), "start COM", error);

    ComRef<IWICImagingFactory> factory;
    if (Failed(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void **>(factory.Out())),
               "start (is the Windows Imaging Component installed?)", error)) {
        return false;
    }
    ComRef<IStream> stream;
    if (Failed(CreateStreamOnHGlobal(nullptr, TRUE, stream.Out()), "make a memory stream", error)) return false;
    ComRef<IWICBitmapEncoder> encoder;
    if (Failed(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Out()), "make a PNG encoder",
               error) ||
        Failed(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache), "start the PNG encoder", error)) {
        return false;
    }
    ComRef<IWICBitmapFrameEncode> frame;
    ComRef<IPropertyBag2> options;
    if (Failed(encoder->CreateNewFrame(frame.Out(), options.Out()), "make a PNG frame", error) ||
        Failed(frame->Initialize(options.Get()), "start the PNG frame", error) ||
        Failed(frame->SetSize(image.Width, image.Height), "size the PNG frame", error)) {
        return false;
    }
    WICPixelFormatGUID format = GUID_WICPixelFormat8bppGray;
    if (Failed(frame->SetPixelFormat(&format), "set the pixel format", error)) return false;
    if (!IsEqualGUID(format, GUID_WICPixelFormat8bppGray)) {
        // The encoder would convert the pixels on its own terms; a grey image
        // is written as it is or not at all.
        *error = "PNG: the imaging component's PNG encoder does not take 8-bit grey pixels";
        return false;
    }
    if (Failed(frame->WritePixels(image.Height, image.Width, static_cast<UINT>(image.Pixels.size()),
                                  const_cast<BYTE *>(image.Pixels.data())),
               "write the pixels", error) ||
        Failed(frame->Commit(), "finish the PNG frame", error) ||
        Failed(encoder->Commit(), "finish the PNG file", error)) {
        return false;
    }

    STATSTG stat = {};
    if (Failed(stream->Stat(&stat, STATFLAG_NONAME), "measure the PNG", error)) return false;
    HGLOBAL memory = nullptr;
    if (Failed(GetHGlobalFromStream(stream.Get(), &memory), "reach the PNG bytes", error)) return false;
    const void *bytes = GlobalLock(memory);
    if (bytes == nullptr) {
        *error = "PNG: the encoded bytes could not be read";
        return false;
    }
    const size_t size = static_cast<size_t>(stat.cbSize.QuadPart);
    out->assign(static_cast<const uint8_t *>(bytes), static_cast<const uint8_t *>(bytes) + size);
    GlobalUnlock(memory);
    return true;
}

}  // namespace usbcam
