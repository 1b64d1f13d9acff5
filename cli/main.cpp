#include <unistd.h>

#include <clocale>
#include <iostream>

#include "cli/CliCommands.h"
#include "dicom/DicomDictionary.h"

int main(int argc, char** argv)
{
    // The user's locale, as the window has it: the report's "Mean SNR" line and
    // the tag list's FD/FL values use its decimal separator. Everything else
    // the program reads or writes uses "." on purpose.
    std::setlocale(LC_ALL, "");
    evenor::LoadDicomDictionary();
    return evenor::RunCli(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
