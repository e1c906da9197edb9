; A stand-in volume boot sector for the boot test. It writes one line to the first serial port
; saying how the master boot program started it, then switches the machine off through the
; debug exit port (0xF4):
;   QM-BOOT-OK <tag> dl=<DL> entry=<type>:<start LBA>
; <tag> (-DTAG=...) tells the copy at the partition's start from the one six sectors on; type
; and start are read through DS:SI, which must point at the active partition entry.
        bits 16
        org 0x7C00
%ifndef TAG
  %define TAG 'P'
%endif

start:
        mov bl, [si + 4]
        mov bp, [si + 8]
        mov cx, [si + 10]
        mov bh, dl
        xor ax, ax
        mov ds, ax
        mov dx, 0x3F8
        mov si, text_tag
        call puts
        mov al, bh
        call hex8
        mov si, text_entry
        call puts
        mov al, bl
        call hex8
        mov al, ':'
        out dx, al
        mov ax, cx
        call hex16
        mov ax, bp
        call hex16
        mov al, 10
        out dx, al
        xor al, al
        out 0xF4, al
.stop:
        cli
        hlt
        jmp .stop

puts:
        lodsb
        test al, al
        jz .end
        out dx, al
        jmp puts
.end:
        ret

hex16:
        push ax
        mov al, ah
        call hex8
        pop ax
hex8:
        push ax
        shr al, 4
        call .digit
        pop ax
.digit:
        and al, 0x0F
        add al, '0'
        cmp al, '9'
        jbe .out
        add al, 'A' - '9' - 1
.out:
        out dx, al
        ret

text_tag        db "QM-BOOT-OK ", TAG, " dl=", 0
text_entry      db " entry=", 0

        times 510 - ($ - $$) db 0
        dw 0xAA55
