// The static build's answers to htslib's calls of the dynamic loader, which
// the link routes here (--wrap). htslib loads plugins for URLs (http, s3,
// gcs) as shared libraries; loaded into a static program they would bring a
// second C library along. So no plugin loads, as where none is installed:
// local files never need one, and a URL fails to open with a clear message.

extern "C" {

void* __wrap_dlopen(const char*, int) { return nullptr; }

void* __wrap_dlsym(void*, const char*) { return nullptr; }

int __wrap_dlclose(void*) { return 0; }

char* __wrap_dlerror() {
    static char reason[] = "this static build of seamline loads no plugins";
    return reason;
}
}
