#include <tiffio.h>

#include <algorithm>
#include <cstring>

#include "platform/image/ImageFiles.h"

namespace kl {

namespace {

// A growable in-memory file for libtiff's client interface.
struct MemoryFile {
    Bytes data;
    uint64_t position = 0;
};

MemoryFile& fileOf(thandle_t handle) { return *static_cast<MemoryFile*>(handle); }

tmsize_t readMemory(thandle_t handle, void* buffer, tmsize_t size) {
    MemoryFile& file = fileOf(handle);
    if (size <= 0 || file.position >= file.data.size()) return 0;
    const auto count = std::min<uint64_t>(uint64_t(size), file.data.size() - file.position);
    std::memcpy(buffer, file.data.data() + file.position, count);
    file.position += count;
    return tmsize_t(count);
}

tmsize_t writeMemory(thandle_t handle, void* buffer, tmsize_t size) {
    MemoryFile& file = fileOf(handle);
    if (size <= 0) return 0;
    if (file.position + uint64_t(size) > file.data.size()) file.data.resize(file.position + uint64_t(size));
    std::memcpy(file.data.data() + file.position, buffer, size_t(size));
    file.position += uint64_t(size);
    return size;
}

toff_t seekMemory(thandle_t handle, toff_t offset, int whence) {
    MemoryFile& file = fileOf(handle);
    const uint64_t base = whence == SEEK_CUR ? file.position : whence == SEEK_END ? file.data.size() : 0;
    file.position = base + offset;
    return file.position;
}

int closeMemory(thandle_t) { return 0; }
toff_t sizeOfMemory(thandle_t handle) { return fileOf(handle).data.size(); }
int mapNothing(thandle_t, void**, toff_t*) { return 0; }
void unmapNothing(thandle_t, void*, toff_t) {}

bool writeTiff(TIFF* tiff, const PixelView& picture) {
    const bool alpha = picture.format == PixelFormat::BGRA;
    const uint16_t samples = alpha ? 4 : 3;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(picture.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(picture.height));
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(8));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_RGB));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_LZW));
    if (alpha) {
        const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), extra);
    }
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    Bytes row(size_t(picture.width) * samples);
    for (int y = 0; y < picture.height; ++y) {
        const uint8_t* in = picture.row(y);
        uint8_t* out = row.data();
        for (int x = 0; x < picture.width; ++x, in += 4, out += samples) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            if (alpha) out[3] = in[3];
        }
        if (TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) < 0) return false;
    }
    return TIFFWriteDirectory(tiff) == 1;
}

}  // namespace

Result<Bytes> encodeTIFF(const PixelView& picture) {
    if (!picture.valid()) return Error::withDescription(kImageErrorDomain, kImageErrorBadPicture, "no picture to encode");
    MemoryFile file;
    TIFF* tiff = TIFFClientOpen("icon", "w", &file, readMemory, writeMemory, seekMemory, closeMemory, sizeOfMemory,
                                mapNothing, unmapNothing);
    if (!tiff) return Error::withDescription(kImageErrorDomain, kImageErrorEncoder, "TIFF encoder failed to open");
    const bool written = writeTiff(tiff, picture);
    TIFFClose(tiff);
    if (!written) return Error::withDescription(kImageErrorDomain, kImageErrorEncoder, "TIFF encoder failed");
    return std::move(file.data);
}

}  // namespace kl
