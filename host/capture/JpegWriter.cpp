#include "capture/JpegWriter.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>

namespace {
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void onError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jump, 1);
}

// The rows of one plane, `count` of them from `first`, padded on the right to `padded`
// samples (the encoder reads whole 8-sample blocks) and repeating the last row below the picture.
class PlaneRows {
public:
    PlaneRows(const guint8 *data, int stride, int width, int height, int padded)
        : m_data(data), m_stride(stride), m_width(width), m_height(height), m_padded(padded) {}

    void fill(JSAMPROW *rows, int first, int count) {
        const bool copy = m_padded > m_stride;
        if (copy && m_scratch.empty())
            m_scratch.resize(size_t(m_padded) * size_t(count));
        for (int i = 0; i < count; ++i) {
            const int y = std::min(first + i, m_height - 1);
            auto *src = const_cast<guint8 *>(m_data + size_t(y) * size_t(m_stride));
            if (!copy) {
                rows[i] = src;
                continue;
            }
            guint8 *dst = m_scratch.data() + size_t(i) * size_t(m_padded);
            std::memcpy(dst, src, size_t(m_width));
            std::memset(dst + m_width, src[m_width - 1], size_t(m_padded - m_width));
            rows[i] = dst;
        }
    }

private:
    const guint8 *m_data;
    int m_stride, m_width, m_height, m_padded;
    std::vector<guint8> m_scratch;
};
} // namespace

QByteArray JpegWriter::encode(const GstVideoFrame &frame, int quality) {
    const int w = GST_VIDEO_FRAME_WIDTH(&frame);
    const int h = GST_VIDEO_FRAME_HEIGHT(&frame);
    if (GST_VIDEO_FRAME_FORMAT(&frame) != GST_VIDEO_FORMAT_I420 || w < 2 || h < 2)
        return {};
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    PlaneRows planes[3] = {
        {static_cast<const guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), w,
         h, (w + 15) / 16 * 16},
        {static_cast<const guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 1)), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 1),
         cw, ch, (cw + 7) / 8 * 8},
        {static_cast<const guint8 *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 2)), GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 2),
         cw, ch, (cw + 7) / 8 * 8},
    };

    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onError;
    unsigned char *out = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(out);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(w);
    cinfo.image_height = JDIMENSION(h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_YCbCr;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, JCS_YCbCr);
    cinfo.raw_data_in = TRUE;
    cinfo.dct_method = JDCT_IFAST;
    cinfo.comp_info[0].h_samp_factor = 2;
    cinfo.comp_info[0].v_samp_factor = 2;
    for (int c = 1; c < 3; ++c) {
        cinfo.comp_info[c].h_samp_factor = 1;
        cinfo.comp_info[c].v_samp_factor = 1;
    }
    jpeg_set_quality(&cinfo, std::clamp(quality, 1, 100), TRUE);
    for (JQUANT_TBL *table : cinfo.quant_tbl_ptrs) {
        if (!table)
            continue;
        UINT16 step = 1;
        while (step * 2 <= table->quantval[0])
            step *= 2;
        table->quantval[0] = step;
    }
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPROW y[16];
    JSAMPROW u[8];
    JSAMPROW v[8];
    JSAMPARRAY data[3] = {y, u, v};
    while (cinfo.next_scanline < cinfo.image_height) {
        const int row = int(cinfo.next_scanline);
        planes[0].fill(y, row, 16);
        planes[1].fill(u, row / 2, 8);
        planes[2].fill(v, row / 2, 8);
        jpeg_write_raw_data(&cinfo, data, 16);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray jpeg(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return jpeg;
}
