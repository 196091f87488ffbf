// Writes jovformat.py (the path given): format.h's constants and record layouts for the Python test tools
// (tests/e2e/run.py, tests/fuzz/make_seeds.py), which then restate none of them.
#include <stdio.h>

#include <initializer_list>
#include <utility>

#include "format.h"

namespace {

struct Named {
  const char* name;
  uint32_t value;
};
#define NAMED(n) Named{#n, n}

// {name: (offset, size)}: a field runs to the next one's offset, the last one to the record's end.
void layout(FILE* out, const char* name, std::initializer_list<Named> fields, uint32_t size) {
  fprintf(out, "%s = {", name);
  for (const Named* f = fields.begin(); f != fields.end(); ++f)
    fprintf(out, "'%s': (%u, %u), ", f->name, f->value, (f + 1 == fields.end() ? size : f[1].value) - f->value);
  fprintf(out, "}\n");
}

void bytes(FILE* out, const char* name, const uint8_t* b, uint32_t n) {
  fprintf(out, "%s = bytes([", name);
  for (uint32_t i = 0; i < n; ++i) fprintf(out, "%u, ", b[i]);
  fprintf(out, "])\n");
}

const char HELPERS[] = R"(

def record(layout, size, **fields):
    """`size` bytes, zero but for `fields` (little-endian integers or bytes), as `layout` places them."""
    out = bytearray(size)
    for name, value in fields.items():
        at, width = layout[name]
        out[at:at + width] = value.to_bytes(width, "little") if isinstance(value, int) else value
    return bytes(out)


def block_field(block, name):
    """The value of a block header field of the block starting at block[0]."""
    bit, width = BLOCK[name]
    return int.from_bytes(block[bit // 8:(bit + width + 7) // 8], "little") >> bit % 8 & (1 << width) - 1


def stored_block(data, last=True):
    fields = dict(type=BLOCK_STORED, last=int(last), output_length=len(data),
                  block_size=BLOCK_STORED_DATA_BYTE + len(data))
    header = sum(value << BLOCK[name][0] for name, value in fields.items())
    return header.to_bytes(BLOCK_STORED_DATA_BYTE, "little") + data
)";

}  // namespace

int main(int argc, char** argv) {
  FILE* out = argc == 2 ? fopen(argv[1], "w") : nullptr;
  if (!out) return fprintf(stderr, "usage: format_module OUTPUT.py\n"), 2;
  fprintf(out, "# Generated from src/format.h by tests/support/format_module.cpp: do not edit.\n");
  for (Named c : {NAMED(ARCHIVE_HEADER_SIZE), NAMED(SIGNATURE_SIZE), NAMED(DIRECTORY_ENTRY_SIZE),
                  NAMED(STREAM_RECORD_FIXED_SIZE), NAMED(STREAM_RECORD_CRC_SIZE), NAMED(DIRECTORY_BLOCK_MAX_ENCODED),
                  NAMED(BLOCK_STORED), NAMED(BLOCK_COMPRESSED), NAMED(BLOCK_STORED_DATA_BYTE),
                  NAMED(STORED_BLOCK_MAX_DATA), NAMED(ENTRY_FOLDER)})
    fprintf(out, "%s = %u\n", c.name, c.value);
  bytes(out, "ARCHIVE_MAGIC", ARCHIVE_MAGIC, sizeof ARCHIVE_MAGIC);
  bytes(out, "STREAM_SIGNATURE", STREAM_SIGNATURE, SIGNATURE_SIZE);
  bytes(out, "DIRECTORY_SIGNATURE", DIRECTORY_SIGNATURE, SIGNATURE_SIZE);
  layout(out, "HEADER",
         {{"magic", AH_MAGIC}, {"directory_offset", AH_DIRECTORY_OFFSET}, {"entry_count", AH_ENTRY_COUNT},
          {"reserved1", AH_RESERVED1}, {"reserved2", AH_RESERVED2}, {"archive_length", AH_ARCHIVE_LENGTH},
          {"data_length", AH_DATA_LENGTH}, {"reserved3", AH_RESERVED3}, {"reserved4", AH_RESERVED4},
          {"reserved5", AH_RESERVED5}, {"header_word", AH_HEADER_WORD}},
         ARCHIVE_HEADER_SIZE);
  layout(out, "ENTRY",
         {{"reserved0", DE_RESERVED0}, {"stream_offset", DE_STREAM_OFFSET}, {"attributes", DE_ATTRIBUTES},
          {"reserved9", DE_RESERVED9}, {"small_extra_length", DE_SMALL_EXTRA_LENGTH}, {"flags", DE_FLAGS},
          {"stream_position", DE_STREAM_POSITION}, {"length", DE_LENGTH}, {"crc", DE_CRC},
          {"extra_length", DE_EXTRA_LENGTH}, {"name_length", DE_NAME_LENGTH}, {"create_time", DE_CREATE_TIME},
          {"create_date", DE_CREATE_DATE}, {"write_time", DE_WRITE_TIME}, {"write_date", DE_WRITE_DATE},
          {"reserved36", DE_RESERVED36}},
         DIRECTORY_ENTRY_SIZE);
  layout(out, "STREAM_RECORD",
         {{"file_length", SR_FILE_LENGTH}, {"variable_length", SR_VARIABLE_LENGTH}, {"reserved", SR_RESERVED}},
         STREAM_RECORD_FIXED_SIZE);
  fprintf(out, "BLOCK = {");  // (bit, width)
  for (auto [name, f] : {std::pair{"type", BF_TYPE}, {"last", BF_LAST}, {"output_length", BF_OUTPUT_LENGTH},
                         {"block_size", BF_BLOCK_SIZE}, {"window_row", BF_WINDOW_ROW},
                         {"window_column", BF_WINDOW_COLUMN}})
    fprintf(out, "'%s': (%u, %u), ", name, f.bit, f.width);
  fprintf(out, "}\n%s", HELPERS);
  return fclose(out) == 0 ? 0 : 1;
}
