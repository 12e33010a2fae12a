#include "cli/options.h"

#include <getopt.h>
#include <string.h>

#include "cli/statuses.h"

namespace {

const char kProgram[] = "dossetup";
enum { kColorOption = 256 };

const struct option kLongOptions[] = {
    {"verbose", no_argument, nullptr, 'v'},
    {"dry-run", no_argument, nullptr, 'n'},
    {"diff", no_argument, nullptr, 'd'},
    {"color", optional_argument, nullptr, kColorOption},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

ParseResult Wrong(FILE* errors) {
  fprintf(errors, "Usage: %s [OPTION]... [DRIVE]...\n", kProgram);
  fprintf(errors, "Try '%s --help' for more information.\n", kProgram);
  return kParsedWrong;
}

// Prints `text` from column `indent` on, wrapped before column 80, each
// further line indented as far.
void PrintWrapped(FILE* out, const char* text, int indent) {
  const int kWidth = 79 - indent;
  int column = 0;
  while (*text) {
    size_t word = strcspn(text, " ");
    if (column > 0 && column + 1 + static_cast<int>(word) > kWidth) {
      fprintf(out, "\n%*s", indent, "");
      column = 0;
    }
    fprintf(out, "%s%.*s", column > 0 ? " " : "", static_cast<int>(word), text);
    column += static_cast<int>(word) + (column > 0 ? 1 : 0);
    text += word;
    while (*text == ' ') ++text;
  }
  fputc('\n', out);
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, Options* options,
                         FILE* errors) {
  *options = Options();
  opterr = 0;  // the complaints below name the program, not argv[0]
  optind = 0;  // rescans from the start: GNU's full reset
  for (;;) {
    int c = getopt_long(argc, argv, "+vndhV", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'v':
        options->verbose = true;
        break;
      case 'n':
        options->dry_run = true;
        break;
      case 'd':
        options->diff = true;
        break;
      case kColorOption:
        if (!optarg || strcmp(optarg, "always") == 0) {
          options->color = kColorAlways;
        } else if (strcmp(optarg, "never") == 0) {
          options->color = kColorNever;
        } else if (strcmp(optarg, "auto") == 0) {
          options->color = kColorAuto;
        } else {
          fprintf(errors,
                  "%s: invalid argument '%s' for '--color'; valid arguments "
                  "are 'always', 'never' and 'auto'\n",
                  kProgram, optarg);
          return Wrong(errors);
        }
        break;
      case 'h':
        return kParsedHelp;
      case 'V':
        return kParsedVersion;
      default:
        // A long option leaves optopt 0 and optind just past it.
        if (optopt != 0) {
          fprintf(errors, "%s: invalid option -- '%c'\n", kProgram, optopt);
        } else {
          fprintf(errors, "%s: unrecognized option '%s'\n", kProgram,
                  argv[optind - 1]);
        }
        return Wrong(errors);
    }
  }
  for (int i = optind; i < argc; ++i) options->drives.push_back(argv[i]);
  return kParsedRun;
}

void PrintHelp(FILE* out) {
  fprintf(
      out,
      "Usage: %s [OPTION]... [DRIVE]...\n"
      "Set up the MS-DOS side of the sound card on each Windows 95 drive C,\n"
      "one after another: a folder, a disk image (any format QEMU reads, and\n"
      "the chains emulators keep: differencing VHDs, VirtualBox snapshots,\n"
      "Bochs' growing, undoable and sparse disks; 86Box's HDI and HDX), or\n"
      "the machine file that names it:\n"
      "  VirtualBox  Win95.vbox   its first IDE hard disk, current snapshot\n"
      "  VMware      Win95.vmx    the first hard disk its BIOS boots\n"
      "  Bochs       bochsrc      the first ATA disk, undoable in its redolog\n"
      "  86Box       86box.cfg    the first IDE hard disk (0:0, 0:1, 1:0...)\n"
      "  PCem        win95.cfg    the first hard disk of its controller\n"
      "  DOSBox-X    win95.conf   BIOS disk 2 as [autoexec] mounts it\n"
      "  libvirt     win95.xml    the first hard disk SeaBIOS boots (virsh "
      "dumpxml)\n"
      "With no DRIVE, drive C is DOSSETUP_DRIVE_C, else the current "
      "directory.\n"
      "\n"
      "  -n, --dry-run       read each drive and change nothing; the "
      "status says\n"
      "                        whether a run would change it\n"
      "  -d, --diff          show each change as a unified diff\n"
      "      --color[=WHEN]  colour the diff: always, never or auto "
      "(the default)\n"
      "  -v, --verbose       say what became of each file, and which disk a\n"
      "                        machine file led to\n"
      "  -h, --help          display this help and exit\n"
      "  -V, --version       output version information and exit\n"
      "\n"
      "Environment:\n"
      "  DOSSETUP_DRIVE_C    drive C when no DRIVE is given\n"
      "  TMPDIR              where file contents and image views pass "
      "through\n"
      "\n"
      "Exit status (with several drives, the first failure's):\n",
      kProgram);
  for (int i = 0; i < kStatusMeaningCount; ++i) {
    fprintf(out, "  %-6s ", StatusText(kStatusMeanings[i].status).c_str());
    PrintWrapped(out, kStatusMeanings[i].meaning, 9);
  }
}

void PrintVersion(FILE* out) {
  fprintf(out,
          "%s %s\n"
          "Copyright (C) 2026 The dossetup authors.\n"
          "License MIT: <https://opensource.org/license/mit>.\n"
          "This is free software: you are free to change and redistribute "
          "it.\n"
          "There is NO WARRANTY, to the extent permitted by law.\n",
          kProgram, DOSSETUP_VERSION);
}
