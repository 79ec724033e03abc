# A firmware image in a Make build: zemkar joins nothing itself, so the recipe
# joins the two HEX files under a name of the image's own, then converts them.
# The image is made again whenever either HEX file or zemkar changes, and only
# then; a failed conversion leaves no newer image, so the next make runs it again.
# zemkar's message has no line end: the recipe ends the line, so that make's
# own line starts on a line of its own.
ZEMKAR ?= zemkar
ZEMKAR_PROGRAM := $(shell command -v $(ZEMKAR))

firmware.bin: bootloader.hex application.hex $(ZEMKAR_PROGRAM)
	cat bootloader.hex application.hex > $@.hex
	$(ZEMKAR) -h $@.hex $@ || { echo; exit 1; }
