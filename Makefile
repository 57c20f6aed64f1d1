# Thin wrapper over the CMake presets; see README.md.
PREFIX ?= /usr/local
ARGS ?=
FUZZ_SECONDS ?= 600
MAINTAINER ?=
BIN := build/release/modules/host/pylon-host

.PHONY: all deps build-deps format-check build run test test-dev tsan fuzz lint install uninstall package clean

all: build

deps:
	@scripts/install-deps test

build-deps:
	@scripts/install-deps build

build: build-deps
	@test -f build/release/CMakeCache.txt || cmake --preset release >&2
	@cmake --build --preset release >&2

run: build
	@$(BIN) $(ARGS)

test: deps
	cmake --workflow --preset ci
	cmake --workflow --preset asan
	cmake --workflow --preset fuzz
	cmake --workflow --preset tsan

test-dev: deps
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev

tsan: deps
	cmake --workflow --preset tsan

# every fuzz target for FUZZ_SECONDS, one after another; findings land in build/fuzz/fuzz/
fuzz: deps
	cmake --preset fuzz -DPYLON_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build --preset fuzz
	ctest --preset fuzz --parallel 1

# clang-format's verdict on every file, then clang-tidy over every source while compiling
lint: deps format-check
	cmake --preset lint
	cmake --build --preset lint

format-check:
	git ls-files '*.cpp' '*.hpp' '*.c' | xargs clang-format --dry-run --Werror

install: build-deps
	cmake -S . -B build/install -G Ninja -DCMAKE_BUILD_TYPE=Release -DPYLON_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build build/install
	cmake --install build/install

uninstall:
	@test -f build/install/install_manifest.txt || { echo "nothing installed from this tree" >&2; exit 1; }
	xargs -d '\n' rm -f -- < build/install/install_manifest.txt

# dpkg-shlibdeps (dpkg-dev) and file work out the library dependencies of the package; lintian
# checks it against Debian policy and fails on an error.
package:
	@scripts/install-deps build dpkg-dev file lintian
	cmake --preset package $(if $(MAINTAINER),'-DPYLON_PACKAGE_MAINTAINER=$(MAINTAINER)')
	cmake --build --preset package
	lintian --fail-on error build/package/*.deb
	@ls build/package/*.deb

clean:
	rm -rf build
