// Built into the command only under ThreadSanitizer. OpenImageIO and oneTBB are not built with it,
// so its internal locking (the shared string table, its thread pool) is invisible to the sanitizer
// and reported as races on every first use from two threads. Only what those libraries do inside
// themselves is suppressed; accesses from our code are still checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libOpenImageIO_Util.so\n"
           "called_from_lib:libtbb.so.12\n"
           "race:libtbb.so.12\n"
           "called_from_lib:libOpenImageIO.so\n"
           // Its interned strings (ustring) are published inside the library; reading one's
           // text through the inline header code then looks like a race with its creation.
           "race:OpenImageIO_v2_4::ustring\n"
           "race:isLayoutAttribute\n"
           // oneTBB's pipeline moves each token between threads in its header templates,
           // synchronised by the uninstrumented library.
           "race:oneapi/tbb/detail/_pipeline_filters.h\n";
}
