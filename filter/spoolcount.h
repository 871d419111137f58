// Page and copy count read from the document-structuring comments of the
// job's file in the CUPS spool folder.
#pragma once

#include "joboptions.h"

#include <cstdio>
#include <string>

struct SpoolCount {
    int pages = 0;  // 0 when no "%%Pages: N" comment is found
    int copies = 1; // 1 when no copies comment is found
    bool copiesFound = false;
};

// "/var/spool/cups/d%05d-001" for the job id text.
std::string spoolPath(const char *jobId);

// Scans an open file line by line (400-byte pieces); the last comment wins.
SpoolCount scanSpool(std::FILE *file, LogLines &log);

// Whether the first bytes of a spool file are those of a PDF document: "%PDF-" within the
// first 1024 bytes, where readers accept the header, in a file that does not begin with "%!"
// (PostScript, counted by its comments whatever they mention).
bool isPdfStart(const char *data, std::size_t length);
