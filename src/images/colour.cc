// Embedded ICC profiles, converted to sRGB with Little CMS 2 at load, as a
// browser shows them. A picture without a profile, or with one that is sRGB
// already, keeps its bytes exactly: no transform is made for it.
#include <lcms2.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "control/control.h"
#include "images/image.h"

namespace {

// Little CMS reports a broken profile through this handler; the warning the
// caller logs says the same in one line, so its own messages are dropped.
void quiet_errors(cmsContext, cmsUInt32Number, const char*) {}

// Whether `profile` is an RGB matrix-shaper profile with sRGB's colorants and
// tone curves (to 1/1000): such a profile changes no pixel worth a transform.
bool is_srgb(cmsHPROFILE profile) {
    if (cmsGetColorSpace(profile) != cmsSigRgbData || !cmsIsMatrixShaper(profile)) return false;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    if (!srgb) return false;
    bool same = true;
    const cmsTagSignature colorants[] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                         cmsSigBlueColorantTag};
    const cmsTagSignature curves[] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    for (int c = 0; c < 3 && same; c++) {
        auto* a = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, colorants[c]));
        auto* b = static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb, colorants[c]));
        auto* ta = static_cast<const cmsToneCurve*>(cmsReadTag(profile, curves[c]));
        auto* tb = static_cast<const cmsToneCurve*>(cmsReadTag(srgb, curves[c]));
        if (!a || !b || !ta || !tb) {
            same = false;
            break;
        }
        same = fabs(a->X - b->X) < 1e-3 && fabs(a->Y - b->Y) < 1e-3 && fabs(a->Z - b->Z) < 1e-3;
        for (int k = 0; k <= 16 && same; k++) {
            float v = static_cast<float>(k) / 16;
            same = fabsf(cmsEvalToneCurveFloat(ta, v) - cmsEvalToneCurveFloat(tb, v)) < 1e-3f;
        }
    }
    cmsCloseProfile(srgb);
    return same;
}

cmsUInt32Number lcms_format(icc_layout layout) {
    switch (layout) {
        case ICC_GREY:
            return TYPE_GRAY_8;
        case ICC_RGB:
            return TYPE_RGB_8;
        case ICC_RGBA:
            return TYPE_RGBA_8;
        case ICC_CMYK:
            return TYPE_CMYK_8;
        case ICC_CMYK_INVERTED:
            return TYPE_CMYK_8_REV;
    }
    return TYPE_RGB_8;
}

cmsColorSpaceSignature space_of(icc_layout layout) {
    return layout == ICC_GREY                                  ? cmsSigGrayData
           : layout == ICC_CMYK || layout == ICC_CMYK_INVERTED ? cmsSigCmykData
                                                               : cmsSigRgbData;
}

}  // namespace

icc_transform icc_transform_create(const uint8_t* icc, size_t size, icc_layout layout) {
    if (!icc || size == 0) return nullptr;
    if (size > MAX_ICC_PROFILE_BYTES) {
        log_message(LOG_WARN, "lcms2: %s\n", "the colour profile is too large: ignored");
        return nullptr;
    }
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    if (!context) return nullptr;
    cmsSetLogErrorHandlerTHR(context, quiet_errors);
    cmsHPROFILE profile =
        cmsOpenProfileFromMemTHR(context, icc, static_cast<cmsUInt32Number>(size));
    cmsHPROFILE srgb = profile ? cmsCreate_sRGBProfileTHR(context) : nullptr;
    cmsHTRANSFORM transform = nullptr;
    bool fits = profile && srgb && cmsGetColorSpace(profile) == space_of(layout);
    bool rgb = layout == ICC_RGB || layout == ICC_RGBA;
    bool srgb_already = fits && rgb && is_srgb(profile);
    if (fits && !srgb_already) {
        cmsUInt32Number out = layout == ICC_RGBA ? TYPE_RGBA_8 : TYPE_RGB_8;
        cmsUInt32Number flags = layout == ICC_RGBA ? cmsFLAGS_COPY_ALPHA : 0;
        transform = cmsCreateTransformTHR(context, profile, lcms_format(layout), srgb, out,
                                          INTENT_PERCEPTUAL, flags);
    }
    if (profile && srgb && !fits) {
        log_message(LOG_WARN, "lcms2: %s\n",
                    "the colour profile does not fit the picture: ignored");
    } else if (!profile || (fits && !srgb_already && !transform)) {
        log_message(LOG_WARN, "lcms2: %s\n", "the colour profile is broken: ignored");
    }
    if (srgb) cmsCloseProfile(srgb);
    if (profile) cmsCloseProfile(profile);
    // The transform keeps what it needs of the context; a null one frees it here.
    if (!transform) cmsDeleteContext(context);
    return transform;
}

void icc_transform_rows(icc_transform transform, const uint8_t* in, uint8_t* out, size_t pixels) {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(transform), in, out,
                   static_cast<cmsUInt32Number>(pixels));
}

void icc_transform_free(icc_transform transform) {
    if (!transform) return;
    cmsContext context = cmsGetTransformContextID(static_cast<cmsHTRANSFORM>(transform));
    cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform));
    cmsDeleteContext(context);
}

void apply_icc_profile(image* img, const uint8_t* icc, size_t size, bool grey) {
    if (!img->frame || !icc || size == 0 || img->channels < 3) return;
    icc_layout layout = grey ? ICC_GREY : img->channels == 4 ? ICC_RGBA : ICC_RGB;
    icc_transform transform = icc_transform_create(icc, size, layout);
    if (!transform) return;
    size_t width = static_cast<size_t>(img->width);
    size_t stride = width * static_cast<size_t>(img->channels);
    uint8_t* row = grey ? static_cast<uint8_t*>(calloc_or_log(width > 0 ? width : 1, 1)) : nullptr;
    for (int32_t y = 0; y < img->height && (row || !grey); y++) {
        uint8_t* pixels = img->frame + static_cast<size_t>(y) * stride;
        if (grey) {
            // A grey picture is held as R,G,B: its first sample is the grey.
            for (size_t x = 0; x < width; x++) row[x] = pixels[x * img->channels];
            icc_transform_rows(transform, row, pixels, width);
        } else {
            icc_transform_rows(transform, pixels, pixels, width);
        }
    }
    free(row);
    icc_transform_free(transform);
}
