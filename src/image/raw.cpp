#include "image/raw.h"

raw_handle* open_raw(const char* name, int32_t mode) {
    auto* handle =
        static_cast<raw_handle*>(AllocVecTags(sizeof(raw_handle), AVT_ClearWithValue, 0, TAG_END));
    if (!handle) {
        PrintFault(ERROR_NO_FREE_STORE, "imgsmith");
        return nullptr;
    }
    handle->name = name;
    handle->file = Open(name, mode);
    if (!handle->file) {
        PrintFault(IoErr(), name);
        FreeVec(handle);
        return nullptr;
    }
    return handle;
}

void close_raw(raw_handle* handle) {
    if (!handle) return;
    Close(handle->file);
    FreeVec(handle);
}
