// Writes a stand-in payload: deterministic bytes of the given size, different for every name,
// so that a transfer that mixes up images, blocks or offsets is caught by the simulator.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_standin NAME SIZE OUTPUT\n");
    return 2;
  }
  std::string name = argv[1];
  long size = std::strtol(argv[2], nullptr, 10);
  if (size <= 0) {
    std::fprintf(stderr, "make_standin: bad size %s\n", argv[2]);
    return 2;
  }
  uint32_t state = 2166136261u;  // FNV-1a of the name seeds a xorshift generator
  for (char c : name) state = (state ^ static_cast<uint8_t>(c)) * 16777619u;
  if (state == 0) state = 1;
  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  for (long i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    std::fputc(static_cast<int>(state & 0xFF), out);
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
