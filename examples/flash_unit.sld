; Example flashing script: brings the unit into loader mode, checks its boot loader and flashes
; two data files, the firmware image (several hundred KB) and a configuration block.
; The data files are made by the build (target example_data) next to this script in
; <build dir>/examples; scripts/demo runs it there against the unit simulator.

; Loader mode: send LOADR and a carriage return, expect the loader prompt.
_TC "LOADR^M"

; Ask the boot loader for its version; only a V1.08 loader gets the greeting.
_QC "ver"
_CS "V1.08" _DM "Boot loader V1.08 found. Flashing firmware and configuration."

; One second of settling after each upload instead of the default 3.6 s.
_LP 1

; The firmware image at 80000000, version 1.08.
_LF firmware.bin
_LA 80000000
_LV 1.08
_LD

; The configuration block at 80100000; its version text is the file's date.
_LF config.bin
_LA 80100000
_LV DATE
_LD
