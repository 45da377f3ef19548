// talo2wav: turns a record file into a standard WAV file that any player opens.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>

#include "convert.h"

int main(int argc, char** argv) {
  try {
    CLI::App app{
        "Converts a record file (the board's 256-byte IMA ADPCM blocks, back to back, no header) "
        "into a WAV file."};
    app.name("talo2wav");
    app.footer(
        "A trailing incomplete block (a recording cut short) is left out with a warning.\n"
        "Exit status: 0 when the WAV file was written, 1 when the conversion was refused or "
        "failed (no partial output is left), other values for bad arguments.");
    std::string input;
    std::string output;
    std::string modeName = "pcm";
    app.add_option("input", input, "Record file to read")->required();
    app.add_option("output", output, "WAV file to write (replaced if it exists)")->required();
    app.add_option("-m,--mode", modeName,
                   "pcm: 16-bit PCM, 8 kHz mono; "
                   "ima: the ADPCM bytes unchanged in an IMA ADPCM WAV")
        ->transform(CLI::IsMember({"pcm", "ima"}, CLI::ignore_case))
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    const auto mode = modeName == "ima" ? talo2wav::OutputMode::kIma : talo2wav::OutputMode::kPcm;

    const talo2wav::ConversionResult result = talo2wav::ConvertRecordFile(input, output, mode);
    if (result.trailingBytes != 0) {
      std::cerr << "talo2wav: warning: input '" << input << "' ends with " << result.trailingBytes
                << " bytes of an incomplete 256-byte block; converted the " << result.blocks
                << " whole blocks and left those bytes out\n";
    }
    return 0;
  } catch (const talo2wav::ConversionError& e) {
    std::cerr << "talo2wav: " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "talo2wav: unexpected failure: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "talo2wav: unexpected failure\n";
  }
  return 1;
}
