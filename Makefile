# Thin wrapper over CMake; every target installs what it needs first (Debian, as root).
BUILD      ?= build
ASAN_BUILD ?= build-asan
DEB_BUILD  ?= build-deb
JOBS       ?= $(shell nproc)
TEST_JOBS  ?= $(shell echo $$(( $$(nproc) * 2 )))
# What build and check need (systemd: the hardened-unit test starts the daemon the way its unit does);
# the other targets add their own, so a fresh machine's make check installs no more than it uses.
PACKAGES    = g++ cmake make pkg-config libtirpc-dev rpcbind libgtest-dev libgmock-dev \
              iproute2 procps sysvinit-utils util-linux systemd
CLANG_PACKAGES = clang libclang-rt-14-dev
FORMAT_PACKAGES = clang-format
DEB_PACKAGES = debhelper dpkg-dev lintian
BENCH_PACKAGES = redis-server
KESTREL     = /opt/orn/kestrel

.PHONY: deps build run stop check check-package check-asan fuzz format-check bench install deb clean

# The Debian packages of $(1) that are not installed yet, installed.
define install-missing
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))
	@# The daemon probes the portmapper with /sbin/pidof; Debian ships pidof in /usr/bin only.
	@if [ ! -x /sbin/pidof ]; then \
		ln -s /usr/bin/pidof /sbin/pidof && echo "set-up: created /sbin/pidof -> /usr/bin/pidof"; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DKST_WERROR=ON
	cmake --build $(BUILD) -j$(JOBS)

run: build
	mkdir -p $(KESTREL)/registry/HKEY_CLASS_ROOT $(KESTREL)/registry/HKEY_LOCAL_MACHINE \
		$(KESTREL)/data $(KESTREL)/work
	@# Ask the portmapper itself: pidof also sees rpcbinds of other namespaces (the test sandboxes).
	@rpcinfo -p >/dev/null 2>&1 || { mkdir -p /run/rpcbind && rpcbind -w && echo "started rpcbind"; }
	@if [ -f $(KESTREL)/work/KSTntserver.ready ] && kill -0 "$$(cat $(KESTREL)/work/KSTntserver.ready)" 2>/dev/null; then \
		echo "KSTntserver is already running (pid $$(cat $(KESTREL)/work/KSTntserver.ready))"; \
	else \
		$(BUILD)/KSTntserver && \
		for i in $$(seq 100); do [ -f $(KESTREL)/work/KSTntserver.ready ] && break; sleep 0.1; done; \
	fi
	rpcinfo -p | grep -E 'program|536875572'

stop:
	@pid=$$(cat /var/run/KSTntserver.pid 2>/dev/null) && kill -TERM "$$pid" && echo "sent SIGTERM to $$pid" || echo "not running"

check: build
	ctest --test-dir $(BUILD) -j$(TEST_JOBS) --output-on-failure

# The Debian packages built from scratch (make deb, lintian included) and what they hold inspected:
# a minute or more of compiling, so CI runs it and make check does not.
check-package: deps
	$(call install-missing,$(DEB_PACKAGES))
	tests/packaging/package_test.sh . $(DEB_BUILD)

# clang's runtime, because g++ 12's combined ASan+UBSan runtime ignores log_path for UBSan reports,
# and a detached daemon's stderr is /dev/null.
check-asan: deps
	$(call install-missing,$(CLANG_PACKAGES))
	CXX=clang++ cmake -S . -B $(ASAN_BUILD) -DKST_WERROR=ON -DKST_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD) -j$(TEST_JOBS) --output-on-failure

# One layout: every C and C++ source as .clang-format has it.
format-check: deps
	$(call install-missing,$(FORMAT_PACKAGES))
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror

# Every libFuzzer target for FUZZ_SECONDS each (ASan+UBSan, clang), inside a private namespace.
FUZZ_SECONDS ?= 30
fuzz: deps
	$(call install-missing,$(CLANG_PACKAGES))
	fuzz/run $(FUZZ_SECONDS)

# Timings, memory and start-up beside their floors, as one table (bench/run; BENCH_ARGS=--quick for a short run).
# Redis is the handoff row's floor; the benchmark runs its own private copy, never the system's service.
bench: deps
	$(call install-missing,$(BENCH_PACKAGES))
	BUILD=$(BUILD) bench/run $(BENCH_ARGS)

# The daemon goes to /usr/sbin; libkstnt, kstnt.h and kstnt.pc under PREFIX (default /usr/local).
install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Binary packages with Debian's own tooling, built from a copy of the tree in $(DEB_BUILD)/src so
# that dpkg-buildpackage leaves its results in $(DEB_BUILD) and not beside the checkout; then
# lintian, which must report no errors.
deb: deps
	$(call install-missing,$(DEB_PACKAGES))
	rm -rf $(DEB_BUILD) && mkdir -p $(DEB_BUILD)/src
	tar -c --exclude-vcs --exclude='./build*' --exclude='./obj-*' --exclude='./$(DEB_BUILD)' . | \
		tar -x -C $(DEB_BUILD)/src
	cd $(DEB_BUILD)/src && DEB_BUILD_OPTIONS="nocheck parallel=$(JOBS)" dpkg-buildpackage -b -us -uc
	lintian --fail-on error --info $(DEB_BUILD)/*.changes
	@ls -1 $(DEB_BUILD)/*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(DEB_BUILD)
