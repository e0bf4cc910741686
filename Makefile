# Front door: `make demo` and `make test` install what is missing, build, then do their job.
# build, install and demo install only what building and running need; test, bench, fuzz
# and deb add their own tools (scripts/install-deps.sh says which).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build install deb demo test tsan fuzz bench captures clean

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNO_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build/release -j $(JOBS) --target varno varno-report

# Everything the release build makes (varno, and varno-report where it exists), the man
# pages and varno@.service, under $(DESTDIR)$(PREFIX).
install: build
	cmake --build build/release -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"

# build/varno_VERSION_ARCH.deb from a hardened release build in build/deb, checked by lintian.
deb:
	@./scripts/install-deps.sh --package
	@deb=$$(./packaging/deb/build-deb.sh | tail -n 1) && echo "$$deb" && lintian "$$deb"

demo: build
	@./scripts/demo.sh build/release/varno

test:
	@./scripts/install-deps.sh --test
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVARNO_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

tsan:
	@./scripts/install-deps.sh --test
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DVARNO_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/scripts/tsan.supp" ctest --output-on-failure -j $(JOBS) -R 'EndToEndFile|EndToEndLive|MessageChannel|FlowTaskWorker|Startup|PacketSourceLive|ExportRotationTest'

fuzz:
	@./scripts/install-deps.sh --fuzz
	@./scripts/fuzz.sh $(FUZZ_SECONDS)

bench: build
	@./scripts/install-deps.sh --bench
	@status=0; ./bench/run.sh build/release/varno || status=$$?; \
	  ./bench/report.sh build/release/varno-report build/release/varno || status=$$?; exit $$status

captures:
	@./scripts/make-captures.sh

clean:
	rm -rf build
