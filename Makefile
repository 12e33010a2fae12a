# The front door. `make` builds both programs; `make test` installs what is
# missing and runs every test; `make demo` shows a run on the sample drive.
SHELL := /bin/bash
JOBS ?= $(shell nproc)

.PHONY: all host win32 test demo deps clean
all: host win32

deps:
	@tools/ensure-deps

build/host/Makefile:
	cmake -S . -B build/host

host: build/host/Makefile
	cmake --build build/host -j $(JOBS)

build/win32/Makefile:
	cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
	  -DCMAKE_BUILD_TYPE=Release

win32: build/win32/Makefile
	cmake --build build/win32 -j $(JOBS)

test: deps
	$(MAKE) all
	cd build/host && ctest --output-on-failure -j $(JOBS)

demo: build/host/Makefile
	@cmake --build build/host -j $(JOBS) --target dossetup >/dev/null
	@tools/demo

clean:
	rm -rf build
