# Quillmark: top-level entry points.
#   make test       install what is missing, build into build/, run every test
#   make test-asan  the same under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
#   make fuzz       build the fuzz harnesses (build-fuzz/, clang) and run each for FUZZ_SECONDS
#   make demo       build, make the demo disk image, open it in the window (listing without a display)
#   make package    build, then make the Debian package build/quillmark_VERSION_ARCH.deb

PACKAGES := g++ cmake make pkg-config libgtest-dev libgmock-dev qt6-base-dev \
            libjpeg62-turbo-dev libblkid-dev nlohmann-json3-dev libcli11-dev \
            fdisk dosfstools ntfs-3g mtools xxd xvfb xauth fonts-dejavu-core \
            nasm qemu-system-x86 clang libclang-rt-14-dev gdisk \
            e2fsprogs exfatprogs btrfs-progs xfsprogs liburing-dev libudev-dev \
            pandoc dpkg-dev file desktop-file-utils appstream libxml2-utils
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
# The Sleuth Kit: the folder trees of volumes, for listing and copying their files.
PACKAGES += libtsk-dev
# Fills the exFAT volume the copy-out tests read (a FUSE mount of a loop device, as root).
PACKAGES += exfat-fuse

.PHONY: all deps build test test-asan fuzz demo bench package clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	  else \
	    echo "Missing packages. Please run:"; \
	    echo "  sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQM_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	# The property test's random layouts run ten times slower under the sanitizers: a third of
	# them still reaches every kind of change written and refused, inside the test's time limit.
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 QM_RECOVER_SEEDS=100 ctest --output-on-failure -j $(JOBS)

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_FUZZ=ON -DQM_BUILD_GUI=OFF
	cmake --build build-fuzz -j $(JOBS)
	fuzz/make-seeds build-fuzz
	fuzz/run build-fuzz $(FUZZ_SECONDS)

demo: build
	tools/demo-image build/demo.img
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ] && [ -x build/src/app/quillmark ]; then \
	  echo "Opening build/demo.img in the Quillmark window"; \
	  build/src/app/quillmark build/demo.img; \
	else \
	  echo "No display (DISPLAY and WAYLAND_DISPLAY are empty): listing the demo disk instead."; \
	  build/src/cli/quillmark-cli list build/demo.img; \
	fi

package: build
	cmake --build build --target package

bench: build
	build/bench/quillmark-bench
	build/bench/quillmark-ls-bench
	build/bench/quillmark-clone-bench
	build/bench/quillmark-hint-bench
	build/bench/quillmark-quick-bench
	build/bench/quillmark-window-bench
	build/bench/quillmark-copy-bench

clean:
	rm -rf build build-asan build-fuzz
