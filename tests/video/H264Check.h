#pragma once
// Test helpers for H.264: the fields of a sequence parameter set, and decoding
// a stream with GStreamer's decoder to learn its picture size.

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct SpsFields {
    int profileIdc = -1, constraintFlags = -1, levelIdc = -1;
    uint32_t widthMbs = 0, heightMbs = 0;
    bool frameMbsOnly = false, cropping = true;
    uint32_t refFrames = 0, pocType = 0;
    bool timing = false, fixedFrameRate = false;
    uint32_t unitsInTick = 0, timeScale = 0;
};

class CBitReader {
public:
    // `nal` starts at the NAL header; emulation-prevention bytes are removed.
    explicit CBitReader(const std::vector<uint8_t>& nal) {
        for (size_t i = 0; i < nal.size(); ++i) {
            if (i >= 2 && nal[i] == 3 && nal[i - 1] == 0 && nal[i - 2] == 0) continue;
            m_bytes.push_back(nal[i]);
        }
    }
    uint32_t Bits(int n) {
        uint32_t v = 0;
        while (n-- > 0) {
            const size_t byte = m_pos / 8;
            const uint32_t bit = byte < m_bytes.size() ? (m_bytes[byte] >> (7 - m_pos % 8)) & 1 : 0;
            v = (v << 1) | bit;
            ++m_pos;
        }
        return v;
    }
    uint32_t Ue() {
        int zeros = 0;
        while (Bits(1) == 0 && zeros < 32) ++zeros;
        return (1u << zeros) - 1 + Bits(zeros);
    }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
};

// Parses a Main-profile (or Baseline) SPS; High-profile chroma fields are skipped over.
inline SpsFields ParseSps(const std::vector<uint8_t>& nal) {
    CBitReader r(nal);
    SpsFields f;
    r.Bits(8);  // NAL header
    f.profileIdc = static_cast<int>(r.Bits(8));
    f.constraintFlags = static_cast<int>(r.Bits(8));
    f.levelIdc = static_cast<int>(r.Bits(8));
    r.Ue();  // seq_parameter_set_id
    if (f.profileIdc == 100 || f.profileIdc == 110 || f.profileIdc == 122 || f.profileIdc == 244) {
        if (r.Ue() == 3) r.Bits(1);
        r.Ue();
        r.Ue();
        r.Bits(1);
        if (r.Bits(1)) return f;  // scaling matrices: not used by our encoders
    }
    r.Ue();  // log2_max_frame_num_minus4
    f.pocType = r.Ue();
    if (f.pocType == 0) {
        r.Ue();
    } else if (f.pocType == 1) {
        r.Bits(1);
        r.Ue();
        r.Ue();
        const uint32_t cycle = r.Ue();
        for (uint32_t i = 0; i < cycle && i < 256; ++i) r.Ue();
    }
    f.refFrames = r.Ue();
    r.Bits(1);
    f.widthMbs = r.Ue() + 1;
    f.heightMbs = r.Ue() + 1;
    f.frameMbsOnly = r.Bits(1);
    if (!f.frameMbsOnly) r.Bits(1);
    r.Bits(1);  // direct_8x8_inference
    f.cropping = r.Bits(1);
    if (f.cropping) {
        for (int i = 0; i < 4; ++i) r.Ue();
    }
    if (!r.Bits(1)) return f;  // no VUI
    if (r.Bits(1) && r.Bits(8) == 255) r.Bits(32);
    if (r.Bits(1)) r.Bits(1);
    if (r.Bits(1)) {
        r.Bits(4);
        if (r.Bits(1)) r.Bits(24);
    }
    if (r.Bits(1)) {
        r.Ue();
        r.Ue();
    }
    f.timing = r.Bits(1);
    if (f.timing) {
        f.unitsInTick = r.Bits(32);
        f.timeScale = r.Bits(32);
        f.fixedFrameRate = r.Bits(1);
    }
    return f;
}

// Decodes an Annex-B stream with GStreamer's H.264 decoder: the size of the
// first decoded picture and the number of pictures, or nothing.
inline std::optional<std::pair<std::pair<int, int>, int>> DecodeH264(const std::vector<uint8_t>& stream) {
    gst_init(nullptr, nullptr);
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(
        "appsrc name=in caps=video/x-h264,stream-format=byte-stream ! h264parse ! avdec_h264 ! "
        "appsink name=out sync=false",
        &error);
    if (pipeline == nullptr) {
        if (error) g_error_free(error);
        return std::nullopt;
    }
    GstElement* in = gst_bin_get_by_name(GST_BIN(pipeline), "in");
    GstElement* out = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBuffer* buffer = gst_buffer_new_memdup(stream.data(), stream.size());
    GstFlowReturn flow;
    g_signal_emit_by_name(in, "push-buffer", buffer, &flow);
    gst_buffer_unref(buffer);
    g_signal_emit_by_name(in, "end-of-stream", &flow);
    std::optional<std::pair<std::pair<int, int>, int>> result;
    int pictures = 0;
    int width = 0, height = 0;
    while (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(out), 10 * GST_SECOND)) {
        if (pictures++ == 0) {
            GstStructure* s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
            gst_structure_get_int(s, "width", &width);
            gst_structure_get_int(s, "height", &height);
        }
        gst_sample_unref(sample);
        if (gst_app_sink_is_eos(GST_APP_SINK(out))) break;
    }
    if (pictures > 0) result = std::make_pair(std::make_pair(width, height), pictures);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(in);
    gst_object_unref(out);
    gst_object_unref(pipeline);
    return result;
}

}  // namespace testsupport
