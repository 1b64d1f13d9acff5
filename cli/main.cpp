#include <iostream>

#include "CliCommands.h"
#include "DicomDictionary.h"

int main(int argc, char** argv)
{
    evenor::LoadDicomDictionary();
    return evenor::RunCli(argc, argv, std::cout, std::cerr);
}
