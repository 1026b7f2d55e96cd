#include "ui/png_resource.h"

#include <cstring>

UniqueGpBitmap LoadPngResource(WORD id, const wchar_t* type) {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    if (!resource) return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, resource);
    if (!loaded) return nullptr;
    const DWORD size = SizeofResource(nullptr, resource);
    const void* data = LockResource(loaded);
    if (!data || size == 0) return nullptr;

    // GDI+ reads the stream lazily for the bitmap's whole life, so it gets a
    // copy in a block of its own that the stream frees when released.
    UniqueHglobal block(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) return nullptr;
    void* copy = GlobalLock(block.get());
    if (!copy) return nullptr;
    std::memcpy(copy, data, size);
    GlobalUnlock(block.get());

    IStream* rawStream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block.get(), TRUE, &rawStream))) return nullptr;
    block.release();  // the stream owns it now
    UniqueStream stream(rawStream);

    Gdiplus::GpBitmap* rawBitmap = nullptr;
    const Gdiplus::GpStatus status = Gdiplus::DllExports::GdipCreateBitmapFromStream(stream.get(), &rawBitmap);
    UniqueGpBitmap bitmap(rawBitmap);
    if (status != Gdiplus::Ok) return nullptr;
    return bitmap;
}
