#include "pdfpages.h"

#include <qpdf/qpdf-c.h>

#include <dlfcn.h>

namespace
{

// qpdf is loaded only for a PDF job. Linked at start it would map libqpdf and the shared
// libstdc++ into every job, PostScript ones too (about 3 MiB more resident memory). Only its C
// interface is used, so none of its C++ objects meet the libstdc++ linked into the filter.
struct Qpdf {
    void *library = nullptr;
    decltype(&qpdf_init) init = nullptr;
    decltype(&qpdf_silence_errors) silenceErrors = nullptr;
    decltype(&qpdf_set_suppress_warnings) suppressWarnings = nullptr;
    decltype(&qpdf_read) read = nullptr;
    decltype(&qpdf_get_num_pages) pages = nullptr;
    decltype(&qpdf_cleanup) cleanup = nullptr;
    decltype(&qpdf_has_error) hasError = nullptr;
    decltype(&qpdf_get_error) getError = nullptr;
    decltype(&qpdf_get_error_full_text) errorText = nullptr;

    Qpdf()
    {
        library = dlopen(ZLP_QPDF_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            return;
        bind(init, "qpdf_init");
        bind(silenceErrors, "qpdf_silence_errors");
        bind(suppressWarnings, "qpdf_set_suppress_warnings");
        bind(read, "qpdf_read");
        bind(pages, "qpdf_get_num_pages");
        bind(cleanup, "qpdf_cleanup");
        bind(hasError, "qpdf_has_error");
        bind(getError, "qpdf_get_error");
        bind(errorText, "qpdf_get_error_full_text");
    }
    ~Qpdf()
    {
        if (library)
            dlclose(library);
    }
    Qpdf(const Qpdf &) = delete;
    Qpdf &operator=(const Qpdf &) = delete;

    template <typename F> void bind(F &function, const char *name)
    {
        function = reinterpret_cast<F>(dlsym(library, name));
    }
    bool usable() const
    {
        return init && silenceErrors && suppressWarnings && read && pages && cleanup && hasError &&
               getError && errorText;
    }
};

} // namespace

int pdfPageCount(const char *path, std::string &error)
{
    error.clear();
    Qpdf qpdf;
    if (!qpdf.usable()) {
        error = "cannot load " ZLP_QPDF_LIBRARY;
        return 0;
    }
    qpdf_data pdf = qpdf.init();
    if (!pdf)
        return 0;
    // Nothing of qpdf's goes to standard error: that is CUPS's status channel.
    qpdf.silenceErrors(pdf);
    qpdf.suppressWarnings(pdf, QPDF_TRUE);
    int pages = 0;
    // Repairs of a damaged file are warnings; only an error means no usable document.
    if ((qpdf.read(pdf, path, nullptr) & QPDF_ERRORS) == 0)
        pages = qpdf.pages(pdf);
    // Take the error, or qpdf prints it at clean-up as a "WARNING:" line, which CUPS would
    // show as the queue's state.
    if (qpdf.hasError(pdf)) {
        const char *text = qpdf.errorText(pdf, qpdf.getError(pdf));
        error = text ? text : "unreadable";
    }
    qpdf.cleanup(&pdf);
    return pages > 0 ? pages : 0;
}
