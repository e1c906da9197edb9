; Quillmark's master boot program: the code in bytes 0..445 of a disk's sector 0.
;
; The BIOS loads sector 0 to 0000:7C00 and jumps to it with DL = the drive it booted from.
; The program moves itself out of the way to 0000:0600, picks the active entry of the
; partition table that follows it (bytes 446..509), loads that partition's first sector to
; 0000:7C00 and jumps there the way every volume boot sector expects: DL = boot drive,
; DS:SI (and BP) = the active entry in the relocated table.
;
; Only 8086 instructions, so that it runs on anything that still boots from sector 0.
; The code ends before offset 440: bytes 440..445 (the disk signature field and the two
; bytes after it) are zero, and assembling fails if the code ever grows into them.
;
; After editing, run tools/boot-bytes to regenerate MasterBootProgram.cpp; the test
; boot.program_bytes_match fails while the two disagree.

        bits 16
        cpu 8086

BASE            equ 0x0600              ; where the program runs after moving itself
LOAD            equ 0x7C00              ; where the BIOS put us, and where the volume goes
TABLE           equ BASE + 446          ; the four 16-byte entries, relocated with us
LOADED_SIG      equ LOAD + 510          ; 0x55 0xAA at the end of the loaded sector

; fields of a partition entry
E_INDICATOR     equ 0                   ; 0x80 active, 0 not
E_HEAD          equ 1                   ; CHS start: head
E_SECCYL        equ 2                   ; CHS start: sector in bits 0-5, cylinder bits 8-9
                                        ; in bits 6-7, cylinder bits 0-7 in byte 3
E_TYPE          equ 4
E_START         equ 8                   ; first sector, 32-bit LBA

ATTEMPTS        equ 10
BACKUP_AFTER    equ 5                   ; FAT32: the attempts after the fifth read the backup
BACKUP_OFFSET   equ 6                   ; FAT32 keeps its backup boot sector six sectors on

        org BASE

start:
        cli
        xor ax, ax
        mov ss, ax
        mov sp, LOAD                    ; the stack grows down below the load address
        mov ds, ax
        mov es, ax
        sti
        cld
        mov si, LOAD
        mov di, BASE
        mov cx, 256
        rep movsw
        jmp 0:relocated                 ; from here on we run from the copy

relocated:
        mov [drive], dl

; The active entry is the one marked 0x80. A second 0x80, or any other non-zero mark, means
; the table is not one we can trust to boot from.
        mov si, TABLE
        xor bp, bp
        mov cx, 4
.entry:
        mov al, [si + E_INDICATOR]
        test al, al
        jz .next
        cmp al, 0x80
        jne invalid_table
        test bp, bp
        jnz invalid_table
        mov bp, si
.next:
        add si, 16
        loop .entry
        test bp, bp
        jnz have_active
        int 0x18                        ; nothing to boot here: the BIOS's own fallback
        jmp halt

invalid_table:
        mov si, msg_invalid
; Prints the zero-ended text at DS:SI through the BIOS and stops for good.
fail:
        lodsb
        test al, al
        jz halt
        mov ah, 0x0E
        mov bx, 0x0007
        int 0x10
        jmp fail
halt:
        sti                             ; keep the keyboard alive for Ctrl-Alt-Del
        hlt
        jmp halt

; The start address in both forms: CHS head and sector/cylinder, and the 32-bit LBA.
have_active:
        lea si, [bp + E_HEAD]
        mov di, chs_dh
        movsb
        movsw
        add si, E_START - E_TYPE
        mov di, dap_lba
        movsw
        movsw

; FAT32 with LBA (0x0C) and extended (0x0E) partitions may lie beyond what CHS can reach:
; read them by LBA when the BIOS has the extended read for this drive.
        mov al, [bp + E_TYPE]
        cmp al, 0x0C
        je .ask_extended
        cmp al, 0x0E
        jne .chosen
.ask_extended:
        mov ah, 0x41
        mov bx, 0x55AA
        int 0x13                        ; DL still holds the drive the BIOS gave us
        jc .chosen
        cmp bx, 0xAA55
        jne .chosen
        test cl, 1                      ; bit 0: the packet calls (42h..44h) are there
        jz .chosen
        mov byte [use_lba], 1
.chosen:
        mov di, ATTEMPTS                ; DI counts down the attempts left

; Up to ten reads, with a disk reset after each failure. A FAT32 volume (0x0B, 0x0C) whose
; first sector stays unreadable may still start from its backup boot sector, so its last five
; attempts read that one instead.
read_attempt:
        mov dl, [drive]
        cmp di, BACKUP_AFTER
        jne .read
        mov al, [bp + E_TYPE]
        cmp al, 0x0B
        je .backup
        cmp al, 0x0C
        jne .read
.backup:
        add word [dap_lba], BACKUP_OFFSET
        adc word [dap_lba + 2], 0
        adc word [dap_lba + 4], 0
        call chs_to_backup
.read:
        cmp byte [use_lba], 0
        je .chs
        mov word [dap_count], 1         ; a failed read leaves the count of sectors it did
        mov si, dap
        mov ah, 0x42
        int 0x13
        jmp .result
.chs:
        mov bx, LOAD
        mov cx, [chs_cx]
        mov dh, [chs_dh]
        mov ax, 0x0201
        int 0x13
.result:
        jnc loaded
        xor ax, ax                      ; reset the disk before the next attempt
        int 0x13
        dec di
        jnz read_attempt
        mov si, msg_error
        jmp fail

loaded:
        mov si, msg_missing
        cmp word [LOADED_SIG], 0xAA55
        jne fail
        mov si, bp
        mov dl, [drive]
        jmp 0:LOAD

; Moves the CHS start six sectors on, over the end of a track and of a cylinder, by the
; geometry the BIOS reports for the drive (DL). Without a geometry the address stays as it
; is and the remaining attempts read the first sector again.
chs_to_backup:
        push dx                         ; function 08h returns the number of drives in DL
        push di                         ; and may point ES:DI at a floppy table
        push es
        mov ah, 0x08
        int 0x13
        pop es
        pop di
        jc .done
        and cl, 0x3F
        mov bl, cl                      ; sectors per track
        mov bh, dh                      ; highest head
        mov cx, [chs_cx]
        mov dh, [chs_dh]
        mov ah, BACKUP_OFFSET
.step:
        mov al, cl
        and al, 0x3F
        cmp al, bl
        jb .in_track
        and cl, 0xC0                    ; sector 0 here, 1 after the increment below
        cmp dh, bh
        inc dh                          ; leaves CF as the compare set it
        jb .in_track
        xor dh, dh
        add ch, 1                       ; cylinder bits 0-7 in CH, bits 8-9 in CL bits 6-7
        jnc .in_track
        add cl, 0x40
.in_track:
        inc cl
        dec ah
        jnz .step
        mov [chs_cx], cx
        mov [chs_dh], dh
.done:
        pop dx
        ret

msg_invalid     db "Invalid partition table", 0
msg_error       db "Error loading operating system", 0
msg_missing     db "Missing operating system", 0

; Working storage; written only in the relocated copy.
drive           db 0
use_lba         db 0
chs_dh          db 0                    ; head and sector/cylinder of the sector to read,
chs_cx          dw 0                    ; in the order of the entry's bytes 1..3
dap             db 16, 0                ; the packet of the extended read
dap_count       dw 1
                dw LOAD, 0              ; buffer offset, segment
dap_lba         dd 0, 0

        times 440 - ($ - $$) db 0       ; fails to assemble once the code outgrows 440 bytes
        times 6 db 0                    ; disk signature and the two bytes after it
