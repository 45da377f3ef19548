// wav2board: makes a prompt file the board can play from a speech WAV.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>

#include "wav2board.h"

int main(int argc, char **argv) {
  try {
    CLI::App app{
        "Converts a 16-bit PCM, 8000 Hz, mono WAV file into the board's voice format "
        "(256-byte IMA ADPCM blocks of 504 samples, no header), for prompts the board plays."};
    app.name("wav2board");
    app.footer(
        "Exit status: 0 when the voice file was written, 1 when the input was refused or the "
        "conversion failed (no output is left), other values for bad arguments.");
    std::string input;
    std::string output;
    app.add_option("input", input, "WAV file to read")->required();
    app.add_option("output", output, "voice file to write (replaced if it exists)")->required();
    CLI11_PARSE(app, argc, argv);
    wav2board::ConvertWavToVoice(input, output);
    return 0;
  } catch (const wav2board::ConversionError &e) {
    std::cerr << "wav2board: " << e.what() << "\n";
  } catch (const std::exception &e) {
    std::cerr << "wav2board: unexpected failure: " << e.what() << "\n";
  }
  return 1;
}
