# The front door: `make` builds, `make test` installs what is missing, builds
# and runs every test, `make demo` runs a scripted session against the
# emulated handheld.
.PHONY: all build deps test unit test-on demo bench asan tsan fuzz soak lint format hooks install package clean

all: build

deps:
	@bash scripts/install-deps.sh

build/CMakeCache.txt:
	cmake --preset default

build: build/CMakeCache.txt
	cmake --build build -j2

# Every test; then how many skipped for want of ../shared/data, the real
# preference files and databases some cases read.
test: deps
	$(MAKE) build
	ctest --test-dir build --output-on-failure -j2 --output-junit ctest-results.xml
	@python3 scripts/shared-data-skips.py build/ctest-results.xml

# The in-process unit tests only: seconds, for the edit-build-test loop.
unit: deps
	$(MAKE) build
	ctest --test-dir build --output-on-failure -j2 -L unit

# `make test` in a root of another Debian release (RELEASE=trixie, forky,
# sid, ...), made from Debian's archive; KEEP=1 keeps the root and its
# build for the next run. COMMAND runs something else there.
test-on:
	@test -n "$(RELEASE)" || { echo "make test-on: say which release, e.g. RELEASE=trixie" >&2; exit 2; }
	bash scripts/in-release.sh $(if $(KEEP),--keep) $(RELEASE) $(or $(COMMAND),make test)

demo: deps
	$(MAKE) build
	python3 tools/demo.py build/afclink

bench: deps
	$(MAKE) build
	bash bench/run.sh

asan: deps
	cmake --preset asan && cmake --build build-asan -j2 && ctest --test-dir build-asan --output-on-failure -j2

tsan: deps
	cmake --preset tsan && cmake --build build-tsan -j2 && ctest --test-dir build-tsan --output-on-failure -j2

# Each fuzz target for FUZZ_SECONDS (default 300) against its seed corpus.
fuzz: deps
	bash fuzz/run.sh $(or $(FUZZ_SECONDS),300)

# Long soak and fault runs against the emulator; SOAK_ARGS=--short is CI's form.
soak: deps
	$(MAKE) build
	python3 tests/soak/soak.py --binary build/afclink $(SOAK_ARGS)

# afclink, the emulator's afclink-fakedevice and both manual pages under
# PREFIX (default /usr/local), staged under DESTDIR when it is given.
PREFIX ?= /usr/local
install: deps
	$(MAKE) build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# The tree as .clang-format writes it, and clang-tidy (.clang-tidy) clean on
# every translation unit; clang (the fuzz group) lets tidy see the harnesses.
lint: deps
	@bash scripts/install-deps.sh lint fuzz
	bash scripts/check-format.sh
	bash scripts/check-tidy.sh

# Rewrites every C and C++ file as .clang-format says.
format:
	@bash scripts/install-deps.sh lint
	bash scripts/check-format.sh --fix

# Checks the formatting of what is staged before each commit (.githooks).
hooks:
	git config core.hooksPath .githooks
	@echo "hooks: .githooks/pre-commit now runs before each commit"

# The Debian package (CPack, prefix /usr), written to build/packages/.
package: deps
	@bash scripts/install-deps.sh package
	$(MAKE) build
	cmake --build build --target package

clean:
	rm -rf build build-asan build-tsan build-fuzz
