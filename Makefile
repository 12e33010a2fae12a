# The front door. `make` builds both programs; `make test` installs what is
# missing and runs every test; `make demo` shows a run on the sample drive.
SHELL := /bin/bash
JOBS ?= $(shell nproc)

.PHONY: all host win32 test sanitize demo dist install deb crash stops fuzz \
  bench lint deps clean
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= $(JOBS)
all: host win32

deps:
	@tools/ensure-deps test

build/host/Makefile:
	cmake -S . -B build/host

host: build/host/Makefile
	cmake --build build/host -j $(JOBS)

build/win32/Makefile:
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release

win32: build/win32/Makefile
	cmake --build build/win32 -j $(JOBS)

# Every test: the host suite with the Windows program's headers and its
# runs under Wine, then the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer with a bounded fuzz run. Configured anew, so
# that a build first made without GoogleTest (by make demo) gains its tests.
test: deps
	cmake -S . -B build/host >/dev/null
	$(MAKE) all dist
	cd build/host && ctest --output-on-failure -j $(JOBS)
	$(MAKE) sanitize

build/sanitize/Makefile:
	CC=clang CXX=clang++ cmake -S . -B build/sanitize \
	  -DDOSSETUP_SANITIZE=address,undefined -DDOSSETUP_FUZZ=ON

# Under the sanitizers, the slow rows would only repeat what the quicker
# ones run through the same code: of the rows that stop a run at steps of
# its work, Ctrl-C on raw stays, for the interrupts; of those that stop it
# among the commit's writes, raw's and qcow2's, and the growing Bochs disk
# for the writers of the program's own (the full runs on every medium take
# each writer through); the judges of whole chains run in the plain build.
# Of the rows that run the setup's cases on each medium, the sample drive's
# run stays on every medium, for each reader and writer; the other cases,
# which take the same setup through the same volume code, stay on the
# floppy, the raw disks and qcow2.
SANITIZE_SKIP := Stops\.LeaveEveryFileOldOrNew/(raw_(killed|terminated)|qcow2_(killed|ctrl_c|terminated)|differencing_VHD_killed|fresh_.*|VDI_.*|VMDK_.*|dynamic_VHD_.*|Virtual_PC_VHD_.*|Bochs_(undoable|sparse)_.*)( |$$)|DiskImage\.Writes(VirtualBoxSnapshots|DifferencingVhds)|RunSetupOn\.(HandlesTheLongestDirectoriesThatFit|StopsWhenADirectoryDoesNotFit|TouchesNothingWhenTheProbeFails|UpdatesBothBatchFilesWithoutSettingsOrProfile)/FAT16_(dynamic_VHD|VDI|Virtual_PC_VHD|VMDK|differencing_VHD|VDI_snapshot|Bochs_.*|fixed_VDI)( |$$)

sanitize: build/sanitize/Makefile
	cmake --build build/sanitize -j $(JOBS)
	cd build/sanitize && ctest --output-on-failure -j $(JOBS) -E '$(SANITIZE_SKIP)'

build/fuzz/Makefile:
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Release \
	  -DDOSSETUP_FUZZ=ON -DDOSSETUP_TESTS=OFF

# Fuzzes the text rules, then the readers of strangers' images and machine
# files, each for FUZZ_SECONDS on FUZZ_JOBS cores; new inputs stay in
# build/.
fuzz: build/fuzz/Makefile
	cmake --build build/fuzz -j $(JOBS) --target dossetup_fuzz dossetup_image_fuzz
	mkdir -p build/fuzz/corpus build/fuzz/image-corpus
	cd build/fuzz && ./dossetup_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -jobs=$(FUZZ_JOBS) -workers=$(FUZZ_JOBS) -print_final_stats=1 \
	  corpus $(CURDIR)/tests/fuzz/corpus
	cd build/fuzz && ./dossetup_image_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -jobs=$(FUZZ_JOBS) -workers=$(FUZZ_JOBS) -rss_limit_mb=256 \
	  -print_final_stats=1 image-corpus $(CURDIR)/tests/fuzz/images

# Installs the few packages the demo needs (as root), builds the program
# alone and runs it on a copy of the sample drive.
demo:
	@tools/ensure-deps demo
	@mkdir -p build
	@cmake -S . -B build/host >build/demo-configure.log 2>&1 || \
	  { cat build/demo-configure.log; exit 1; }
	@cmake --build build/host -j $(JOBS) --target dossetup >/dev/null
	@tools/demo

dist: win32
	@cmake --build build/win32 --target dist

# The host program, its manual and documents, and the Windows release, under
# PREFIX (/usr/local unless given), staged under DESTDIR if given.
PREFIX ?= /usr/local
install: host dist
	cmake --install build/host --prefix $(PREFIX)

# build/dist/dossetup_VERSION_amd64.deb, built by debhelper from a copy of
# the tree, and checked by lintian.
deb:
	@tools/make-deb

# Every crash state of the host program's runs over dm-log-writes, every
# prefix included, in a virtual machine; make test checks a fixed sample.
crash: deps host
	tests/crash/run-crash-tests build/host/dossetup build/host/dossetup_replay \
	  build/host/dossetup_crash_disks build/wine-root every

# Every step of a run's work and every write of the program's own commits
# stopped, on each kind of image; make test stops at a fixed sample of them.
stops: deps
	cmake -S . -B build/host >/dev/null
	cmake --build build/host -j $(JOBS)
	cd build/host && DOSSETUP_STOPS=every ctest --output-on-failure \
	  -j $(JOBS) -R '^Rows/Stops\.'

build/bench/Makefile:
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DDOSSETUP_TESTS=OFF

# Speed and memory on large files, whole runs on 2 GB disk images of each
# kind side by side, then the usual small drive C on a 512 MB disk of each
# kind against mtools alone; not part of make test. BENCH_BEFORE names
# another build's program to time beside this one on the small drive.
bench: build/bench/Makefile
	@cmake --build build/bench -j $(JOBS) --target dossetup dossetup_measure >/dev/null
	@tools/bench build/bench/dossetup build/bench
	@tools/bench-images build/bench/dossetup build/bench
	@tools/bench-small build/bench/dossetup build/bench \
	  $(if $(BENCH_BEFORE),--before $(BENCH_BEFORE))

# Formatting and clang-tidy on both builds' sources.
lint: build/host/Makefile build/win32/Makefile
	clang-format --dry-run -Werror $$(git ls-files '*.cc' '*.h') tests/support/stop_writes.c \
	  tests/crash/replay.c
	clang-tidy --quiet -p build/host $$(git ls-files 'src/*.cc' 'tests/*.cc' | grep -v -e win32 -e fuzz)
	clang-tidy --quiet -p build/win32 --extra-arg=--target=i686-w64-mingw32 \
	  $$(git ls-files 'src/*win32*.cc')

clean:
	rm -rf build
