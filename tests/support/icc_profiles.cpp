#include "tests/support/icc_profiles.h"

#include <cstdlib>
#include <lcms2.h>

namespace {

ProfileBytes save(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    if (profile == nullptr || cmsSaveProfileToMem(profile, nullptr, &size) == 0)
        std::abort();
    ProfileBytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// CMYK (16-bit) to Lab (16-bit encoding) by the plain rule, through an sRGB-to-Lab transform.
int plainCmykToLab(const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
    cmsUInt16Number rgb[3];
    const double k = 1.0 - in[3] / 65535.0;
    for (int c = 0; c < 3; ++c)
        rgb[c] = static_cast<cmsUInt16Number>((1.0 - in[c] / 65535.0) * k * 65535.0);
    cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), rgb, out, 1);
    return 1;
}

} // namespace

ProfileBytes srgbProfileBytes() {
    return save(cmsCreate_sRGBProfile());
}

ProfileBytes greyProfileBytes() {
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    const ProfileBytes bytes = save(cmsCreateGrayProfile(cmsD50_xyY(), gamma));
    cmsFreeToneCurve(gamma);
    return bytes;
}

ProfileBytes wideRgbProfileBytes() {
    cmsCIExyY white;
    cmsWhitePointFromTemp(&white, 6504);
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    const ProfileBytes bytes = save(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(gamma);
    return bytes;
}

ProfileBytes cmykProfileBytes() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab =
        cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* grid = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(grid, plainCmykToLab, toLab, 0);
    // Identity curves around the grid, the shape of table the profile format stores.
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, grid);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(pipeline);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return save(profile);
}
