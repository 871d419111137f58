// Page count of a PDF spool file, read with qpdf.
#pragma once

#include <string>

// The number of pages of the PDF document at path; 0 when qpdf is missing or cannot read the
// file (damaged beyond repair, or encrypted with a user password), with qpdf's reason in error.
int pdfPageCount(const char *path, std::string &error);
