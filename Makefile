# The two set-up commands: `make run` and `make test`. Both install what is
# missing on a Debian 12 machine, then configure (the default preset of
# CMakePresets.json) and build in build/.

BUILD ?= build
JOBS ?= $(shell nproc)

PACKAGES := cmake make g++ pkg-config qt6-base-dev libgl-dev \
            fonts-dejavu-core fontconfig xvfb xauth openbox x11-utils \
            dpkg-dev file lintian desktop-file-utils appstream \
            libssh-dev openssh-server openssh-client openssh-sftp-server \
            proftpd-core proftpd-mod-crypto python3-asyncssh \
            libcurl4-openssl-dev curl openssl python3-pyftpdlib python3-openssl \
            libwrap0 libsodium23
# vsftpd and pure-ftpd conflict with ProFTPD as packages: `deps` unpacks their
# programs into build/ftp-servers, where tools/ftp-server.sh finds them;
# libwrap0 and libsodium23 are the libraries those programs load.
BENCH_PACKAGES := libbenchmark-dev
CHECK_PACKAGES := clang libclang-rt-14-dev
SCREENSHOT_PACKAGES := xvfb xauth xdotool imagemagick

.PHONY: all deps test-deps build run demo-sftp demo-ftp test bench check clean package screenshot

all: build

deps:
	@tools/ensure-packages.sh $(PACKAGES)
	@tools/ftp-server.sh unpack

# The test suite includes the benchmarks' own tools, so it wants Google
# Benchmark too; a plain build does without.
test-deps:
	@tools/ensure-packages.sh $(BENCH_PACKAGES)

build: deps
	cmake --preset default -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@tools/run.sh $(BUILD)

# The same demo run with the real engine, against a throw-away server on
# loopback that serves the simulated mailbox; stopped again afterwards.
# demo-sftp SERVER: sshd-internal (default), sshd-sftp-server, proftpd or asyncssh.
# demo-ftp SERVER: proftpd-ftpes (default), proftpd-ftp, proftpd-ftps,
# vsftpd-ftpes, pure-ftpd, pyftpdlib or pyftpdlib-ftpes.
demo-sftp: build
	@tools/demo-remote.sh $(BUILD) $(or $(SERVER),sshd-internal)

demo-ftp: build
	@tools/demo-remote.sh $(BUILD) $(or $(SERVER),proftpd-ftpes)

test: test-deps build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build build-* velmora-demo_*.deb

# The Debian package, put beside this Makefile: sudo apt install ./velmora-demo_*.deb
package: build
	rm -f $(BUILD)/velmora-demo_*.deb velmora-demo_*.deb
	cd $(BUILD) && cpack -G DEB
	cp $(BUILD)/velmora-demo_*.deb .

# Makes the metainfo's screenshot again: the window after a run, under Xvfb.
screenshot: build
	@tools/ensure-packages.sh $(SCREENSHOT_PACKAGES)
	packaging/make-screenshot.sh $(BUILD)

# Benchmarks, in a Release build of their own; prints one summary table.
bench: deps
	@tools/ensure-packages.sh $(BENCH_PACKAGES)
	@tools/bench.sh

# The test suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the engines' tests under ThreadSanitizer, and every fuzz target
# for a bounded time.
check: deps
	@tools/ensure-packages.sh $(CHECK_PACKAGES)
	@tools/check.sh
