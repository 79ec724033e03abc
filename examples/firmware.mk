# A firmware image in a Make build: zemkar joins nothing itself, so the recipe
# joins the two HEX files under a name of the image's own, then converts them
# into the raw image (ZEMKARFLAGS may add --strict). The image is made again
# whenever either HEX file or zemkar changes, and only then. A failed
# conversion removes the image an earlier build made, so that nothing stale
# is left to flash, and the next make runs it again. zemkar's message has no
# line end: the recipe ends the line, so that make's own line starts on a
# line of its own.
ZEMKAR ?= zemkar
ZEMKARFLAGS ?=
ZEMKAR_PROGRAM := $(shell command -v $(ZEMKAR))

.DELETE_ON_ERROR:

firmware.bin: bootloader.hex application.hex $(ZEMKAR_PROGRAM)
	cat bootloader.hex application.hex > $@.hex
	$(ZEMKAR) $(ZEMKARFLAGS) -r $@.hex $@ || { echo; rm -f $@; exit 1; }
