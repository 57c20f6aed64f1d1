# Thin wrapper over the CMake presets; see README.md.
PREFIX ?= /usr/local
ARGS ?=
FUZZ_SECONDS ?= 600
MAINTAINER ?=
BIN := build/release/modules/host/pylon-host
# what dpkg-buildpackage and lintian need beyond the build's own packages
PACKAGE_DEPS := build-essential debhelper dpkg-dev lintian

.PHONY: all deps build-deps format-check build run test test-dev tsan fuzz lint install uninstall \
	package reproducible check-macos clean

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

# the macOS build check first (skipped with a note where npm is missing, unless CI=true); at the
# end, every test case that was skipped, with its reason
test: deps
	scripts/check-macos
	cmake --workflow --preset ci
	cmake --workflow --preset asan
	cmake --workflow --preset fuzz
	cmake --workflow --preset tsan
	@scripts/test-skips build/ci build/asan build/fuzz build/tsan

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

# clang-format's verdict on every file, each fact's one home, then clang-tidy over every source
lint: deps format-check
	scripts/one-home
	cmake --preset lint
	cmake --build --preset lint

format-check:
	git ls-files '*.cpp' '*.hpp' '*.c' | xargs clang-format --dry-run --Werror

# every product source compiled and pylon-host linked for both macOS architectures
check-macos:
	scripts/check-macos

# installs the release build of `make run` (building it only when it is not up to date);
# uninstall, given the same DESTDIR and PREFIX, removes what the installs there put in place
# (the record is in the user's state directory, so a fresh clone can uninstall too)
install: build
	DESTDIR='$(DESTDIR)' scripts/install-tree install build/release '$(PREFIX)'

uninstall:
	DESTDIR='$(DESTDIR)' scripts/install-tree uninstall '$(PREFIX)'

# the source package and the .deb through debian/ (dpkg-buildpackage -us -uc); lintian must report
# neither an error nor a warning
package:
	@scripts/install-deps build $(PACKAGE_DEPS)
	scripts/debian-build build/package $(if $(MAINTAINER),--maintainer '$(MAINTAINER)')
	lintian --fail-on error,warning build/package/*.changes
	@ls build/package/*.deb

# two package builds of the last commit, in two directories: every .deb must be byte-identical
reproducible:
	@scripts/install-deps build $(PACKAGE_DEPS)
	commit=$$(git rev-parse HEAD) && \
	  scripts/debian-build build/reproducible/a --commit $$commit && \
	  scripts/debian-build build/reproducible/b --commit $$commit && \
	  cd build/reproducible && for f in a/*.deb; do cmp "$$f" "b/$${f#a/}" || exit 1; \
	  echo "identical: $${f#a/} ($$commit)"; done

clean:
	rm -rf build
