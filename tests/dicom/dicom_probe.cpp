// dicom_probe FILE [PIXELS_OUT]: reads FILE with TDicomBeeld and prints what
// the reader found, one "name value" line each, for the cross-check against
// other DICOM toolkits. With PIXELS_OUT the loaded pixel values are written
// there as little-endian 16-bit numbers, row-major.
//
// On a reader failure it prints "error " and the message's bytes (NUL
// included) and exits with 1.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "dicom/DicomDictionary.h"
#include "dicom/DicomLib.h"

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: dicom_probe FILE [PIXELS_OUT]\n";
        return 2;
    }
    evenor::LoadDicomDictionaryFromText(evenor::BuiltInDictionary);
    try {
        const std::string path = argv[1];
        const auto slash = path.find_last_of('/');
        const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        evenor::TDicomBeeld image(directory, name);
        image.LoadPixels();

        char spacing[64];
        std::snprintf(spacing, sizeof spacing, "%.17g", image.PixelSpacing());
        std::cout << "rows " << image.Rows() << "\n"
                  << "columns " << image.Columns() << "\n"
                  << "spacing " << spacing << "\n"
                  << "bits " << static_cast<int>(image.BitsAllocated()) << "\n"
                  << "preamble " << image.HasPreamble() << "\n"
                  << "bigendian " << image.BigEndian() << "\n"
                  << "offset " << image.PixelDataOffset() << "\n"
                  << "pixels " << image.Pixels().size() << "\n"
                  << "entries " << image.TagTable().size() << "\n";
        if (argc == 3) {
            std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
            for (const std::uint16_t v : image.Pixels()) {
                const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
                out.write(bytes, 2);
            }
            if (!out) {
                std::cerr << "cannot write " << argv[2] << "\n";
                return 2;
            }
        }
        return 0;
    } catch (const evenor::EvenorError& e) {
        std::cout << "error " << e.Message() << "\n";
        return 1;
    }
}
