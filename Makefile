# The front door: `make` builds, `make test` installs what is missing, builds
# and runs every test, `make demo` runs a scripted session against the
# emulated handheld.
.PHONY: all build deps test test-on demo bench asan tsan fuzz soak lint install package clean

all: build

deps:
	@bash scripts/install-deps.sh

build/CMakeCache.txt:
	cmake --preset default

build: build/CMakeCache.txt
	cmake --build build -j2

test: deps
	$(MAKE) build
	ctest --test-dir build --output-on-failure -j2

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

# The Debian package (CPack, prefix /usr), written to build/packages/.
package: deps
	@bash scripts/install-deps.sh package
	$(MAKE) build
	cmake --build build --target package

clean:
	rm -rf build build-asan build-tsan build-fuzz
