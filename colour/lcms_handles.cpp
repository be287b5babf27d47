#include "colour/lcms_handles.h"

#include <new>

namespace {

void reportNothing(cmsContext, cmsUInt32Number, const char*) {}

} // namespace

colour::Context colour::quietContext() {
    Context context(cmsCreateContext(nullptr, nullptr));
    if (context == nullptr)
        throw std::bad_alloc();
    cmsSetLogErrorHandlerTHR(context.get(), reportNothing);
    return context;
}
