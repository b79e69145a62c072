# velmor: `make demo` and `make test` do all the set-up on a fresh Debian machine.
.PHONY: all deps configure build web-tables test asan fuzz fuzz-ci bench demo web-demo package package-check rpm rpm-check clean

JOBS ?= $(shell nproc)

all: build

deps:
	@deps/install.sh

build/build.ninja: | deps
	cmake --preset default

configure: build/build.ninja

build: deps configure
	cmake --build --preset default -j $(JOBS)

# web-tables: web/'s member tables written again from control/interface/members.h (commit the result).
web-tables: deps configure
	cmake --build --preset default --target web-tables

test: build
	ctest --preset default

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

# fuzz-ci: every fuzz target for FUZZ_SECONDS on its committed seeds (fuzz/corpus/<target>), new
# inputs kept in build-fuzz/corpus, crashes in build-fuzz/artifacts; stops at the first finding.
FUZZ_SECONDS ?= 20
FUZZ_TARGETS = fuzz_base64_decode fuzz_hex_decode fuzz_pattern fuzz_crypt_blob \
	fuzz_crypt_certificate fuzz_crypt_message fuzz_control_setters fuzz_control_verify \
	fuzz_control_decrypt fuzz_cn_text fuzz_codepage fuzz_pinentry_replies \
	fuzz_host_requests fuzz_native_messaging

fuzz-ci: fuzz
	@mkdir -p build-fuzz/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t fuzz/corpus/$$t; \
	  log=build-fuzz/fuzz-ci-$$t.log; \
	  if build-fuzz/bin/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=30 -rss_limit_mb=3072 \
	       -artifact_prefix=build-fuzz/artifacts/$$t- build-fuzz/corpus/$$t fuzz/corpus/$$t \
	       >$$log 2>&1; then \
	    echo "$$t: $$(grep -E '^#[0-9]+.*DONE' $$log | tail -1)"; \
	  else \
	    tail -40 $$log; echo "$$t: FAILED (log $$log)"; exit 1; \
	  fi; \
	done

bench: build
	@for b in build/bin/bench_*; do echo "== $$b"; $$b --benchmark_counters_tabular=true; done

demo: build
	@scripts/demo.sh

# web-demo: the demonstration page in Chromium through the extension and velmor-host (PORT=8080).
web-demo: build
	@scripts/web-demo.sh

# package: build-package/velmor_<version>_amd64.deb (a hardened release build under /usr), then
# lintian's verdict on it.
package: deps
	cmake --preset package
	cmake --build --preset package -j $(JOBS)
	cd build-package && cpack -G DEB
	lintian --fail-on error,warning build-package/velmor_*_amd64.deb

# rpm: build-rpm/velmor-<version>-1.x86_64.rpm for Fedora (the same files, Firefox's manifest in
# /usr/lib64/mozilla, dependencies from rpm's own generator), then rpmlint's verdict on it.
rpm: deps
	cmake --preset rpm
	cmake --build --preset rpm -j $(JOBS)
	cd build-rpm && cpack -G RPM
	rpmlint -r packaging/rpmlintrc build-rpm/velmor-*.x86_64.rpm

# rpm-check: the RPM installed with rpm into a scratch root (no Fedora here: without its
# dependencies), its files and manifests checked, then erased.
rpm-check: rpm
	@scripts/rpm-check.sh

# package-check: the package installed with apt-get on this machine (build trees moved aside),
# used, driven from a browser, purged; root or sudo needed.
package-check: package
	@scripts/package-check.sh

clean:
	rm -rf build build-asan build-fuzz build-package build-rpm
