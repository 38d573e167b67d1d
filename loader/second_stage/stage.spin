{{ Kestrup's second stage: loaded by the boot ROM, it takes the image over the serial line at the
   host's fastest rate, in checked packets, and starts it exactly as the ROM would.

   The host's side and the wire format are described in loader/second_stage.h.

   Two cogs run the one block of code below. The receiver (started by start, in cog 0) times the
   line from each message's sync pulse, samples every byte from its own start bit and writes the
   longs straight into hub RAM; the checker (PAR 0) follows it through hub RAM computing the
   CRC-32, so a verdict is ready as soon as the last byte is in. They talk through the two longs
   at the top of RAM, which no image that can hold its stack markers reaches. }}

CON
  RX_PIN     = 31
  TX_PIN     = 30
  SCL_PIN    = 28
  SDA_PIN    = 29

  ' Clocks by which the first waitcnt must come early for ina to be read mid-bit, with the
  ' reading of cnt after waitpne. Found on the chip's logic at 15 clocks a bit, where 10 to 12
  ' sample right and 14 leaves the first waitcnt too little time to catch its count.
  LATENCY    = 12

  PACKET_LONGS = 256

PUB start
  coginit(0, @entry, @checker)

DAT
              org     0
'---------------------------------------------------------------------------------------------------
' The receiver, cog 0
'---------------------------------------------------------------------------------------------------
entry         mov     outa, txmask                ' the transmit line idles high
              mov     dira, txmask
              wrlong  noverdict, m0addr           ' nothing for the checker yet
              mov     t1, par                     ' PAR: the checker's code
              shl     t1, #2
              or      t1, #%1000
              coginit t1 wr
              mov     checkcog, t1

              ' The byte loops are unrolled at run time: a waitcnt loop has no room for a djnz at
              ' 16 clocks a bit, and unrolled in the image they would cost time on the ROM's line.
              mov     gd, #rx
              call    #rxbyte
              mov     gs, #rx_gap0
              mov     gl, #2
              call    #emit
              call    #rxbyte
              mov     gs, #rx_gap1
              mov     gl, #2
              call    #emit
              call    #rxbyte
              call    #rxbyte
              mov     gs, #rx_gap3
              mov     gl, #3
              call    #emit
              mov     gd, #tx                     ' eleven bits, then the last one's time
              mov     gc, #11
:txbit        mov     gs, #tx_bit
              mov     gl, #3
              call    #emit
              djnz    gc, #:txbit
              mov     gs, #tx_tail
              mov     gl, #2
              call    #emit

              ' The checker loads its copy from hub RAM, which the image will overwrite: wait
              ' until it has (496 longs, a hub window each).
              mov     t1, cnt
              add     t1, loadwait
              waitcnt t1, #0

'--- before the image: hello (the host times the chip's clock by it) and begin ---------------------
idle          mov     base, ctlbase
              mov     count, #2                   ' a trailer and its check
              call    #receive
        if_c  jmp     #:nak
              mov     t1, trailer
              and     t1, #$FF
              cmp     t1, #"H" wz
        if_z  jmp     #:hello
              cmp     t1, #"B" wz
        if_z  jmp     #:begin
:nak          mov     ac, #"N"
              mov     av, #0
              call    #answer
              jmp     #idle
:hello        mov     ac, #"H"
              mov     av, width
              call    #answer
              jmp     #idle
:begin        mov     len, trailer
              shr     len, #16                    ' longs in the image
              mov     flags, trailer
              shr     flags, #8
              and     flags, #$FF
              mov     av, len
              cmp     len, #4 wc                  ' not even a header
        if_nc cmp     maxlongs, len wc            ' or into the longs the checker talks through
        if_c  jmp     #:refuse
              mov     ac, #"B"
              call    #answer
              mov     seq, #0
              mov     base, #0
              mov     isum, #0
              jmp     #packet
:refuse       mov     ac, #"b"
              call    #answer
              jmp     #idle

'--- the image, in packets of 256 longs --------------------------------------------------------------
packet        mov     count, seq                  ' longs still to come after this packet's start
              shl     count, #8
              subs    count, len
              neg     count, count
              max     count, #PACKET_LONGS
              add     count, #2                   ' and the trailer and the check
              call    #receive
              mov     t1, seq                     ' the trailer this packet must carry
              shl     t1, #8
              or      t1, #"D"
              mov     t2, len
              shl     t2, #16
              or      t1, t2
        if_c  jmp     #:nak
              cmp     trailer, t1 wz
        if_z  jmp     #:accept
              sub     t1, #$100
              cmp     trailer, t1 wz              ' the one before again: its answer was lost
              mov     ac, #"A"
              mov     av, seq
              sub     av, #1
        if_z  jmp     #:answer
:nak          mov     ac, #"N"
              mov     av, seq
:answer       call    #answer
              jmp     #packet
:accept       mov     ac, #"A"
              mov     av, seq
              call    #answer
              add     isum, msum                  ' the image's bytes, less the trailer's
              mov     t3, trailer
              call    #bytesum
              sub     isum, t2
              add     seq, #1
              add     base, c1024
              mov     t1, seq
              shl     t1, #8
              cmp     t1, len wc                  ' more to come
        if_c  jmp     #packet

'--- the whole image is in: the ROM's own check, then its own start ------------------------------
              mov     t1, len                     ' zeros above the image
              shl     t1, #2
              mov     t2, ramlongs
              sub     t2, len
:zero         wrlong  zero, t1
              add     t1, #4
              djnz    t2, #:zero
              rdword  t1, #10                     ' the stack markers below dbase
              sub     t1, #8
              call    #stackmark
              call    #stackmark
              mov     av, isum                    ' all 32 KB sum to 0 mod 256: the image's bytes as
              and     av, #$FF wz                 ' the checker read them from hub RAM, zeros, markers
              mov     ac, #"S"
        if_nz jmp     #shutdown
              rdword  t1, #6                      ' pbase: the ROM starts nothing else
              cmp     t1, #$10 wz
              mov     ac, #"P"
              mov     av, t1
        if_nz jmp     #shutdown
              mov     ac, #"L"
              mov     av, #0
              call    #answer
              cogstop checkcog
              rdbyte  t1, #4                      ' the clock mode: the oscillator and PLL first
              mov     t2, t1
              andn    t2, #7
              clkset  t2
              test    t2, #$60 wz                 ' something to settle: 20 ms at the fastest RC
        if_nz mov     t3, cnt
        if_nz add     t3, settle
        if_nz waitcnt t3, #0
              clkset  t1
              coginit interpreter                 ' cog 0 restarts as the Spin interpreter

shutdown      call    #answer
              cogstop checkcog
              cogid   t1
              cogstop t1

' a stack marker at t1, in the sum instead of what was there
stackmark     rdlong  t3, t1
              call    #bytesum
              sub     isum, t2
              wrlong  marker, t1
              add     isum, #$F6                  ' $FF + $F9 + $FF + $FF, mod 256
              add     t1, #4
stackmark_ret ret

' t2: the sum of t3's four bytes (its low byte)
bytesum       mov     t2, t3
              shr     t3, #8
              add     t2, t3
              shr     t3, #8
              add     t2, t3
              shr     t3, #8
              add     t2, t3
bytesum_ret   ret

'---------------------------------------------------------------------------------------------------
' receive: one message of count longs into hub RAM from base. Returns C set when the check failed,
' the trailer (the long before the check) and msum, the sum of the message's bytes.
'---------------------------------------------------------------------------------------------------
receive       wrlong  base, m0addr                ' the checker starts here
              mov     ptr, base
sync          waitpeq rxmask, rxmask
              mov     t0, cnt
              waitpne rxmask, rxmask
              mov     t1, cnt
              waitpeq rxmask, rxmask
              mov     w, cnt
              sub     w, t1                       ' the sync: start bit and three zeros, 4 bit times
              sub     t1, t0                      ' and the idle line before it
              cmp     w, #60 wc                   ' under 15 clocks a bit: faster than this receiver
        if_c  jmp     #sync
              cmp     w, wsame wc                 ' shorter than 2.5 bits at the last rate: data or
        if_c  cmp     t1, idlemin wc              ' filler, unless the line was idle before it
        if_c  jmp     #sync
              mov     bt, w                       ' the bit time, rounded
              add     bt, #2
              shr     bt, #2
              mov     t0, bt
              shl     t0, #2
              sub     w, t0                       ' 4 x the error of the rounded bit time: -2..1
              mov     first, bt                   ' to the middle of bit 0, the error centred on
              shr     first, #1                   ' the middle of the byte
              add     first, bt
              adds    first, w
              sub     first, #LATENCY
              mov     n, count
              mov     t0, #1 wz                   ' Z clear: the first long has none before it
              jmp     #rx

received      wrlong  prev, m1addr                ' the check the host sent
              or      ptr, endflag
              wrlong  ptr, m0addr
              andn    ptr, endflag
:wait         rdlong  t1, m0addr
              test    t1, verdicts wz
        if_z  jmp     #:wait
              test    t1, badflag wc
              mov     msum, t1
              sub     ptr, #4
              rdlong  trailer, ptr
              mov     width, bt                   ' for the host: 4 bit times
              shl     width, #2
              adds    width, w
              mov     wsame, bt                   ' the next sync at this rate is 4 bits long
              shl     wsame, #1
              mov     t0, bt
              shr     t0, #1
              add     wsame, t0
receive_ret   ret

'---------------------------------------------------------------------------------------------------
' answer: four bytes, code ac, value av (16 bits) and a check byte
'---------------------------------------------------------------------------------------------------
answer        mov     ans, av
              and     ans, lowword
              shl     ans, #8
              or      ans, ac
              mov     t1, ac
              xor     t1, av
              mov     t2, av
              shr     t2, #8
              xor     t1, t2
              xor     t1, #$5A
              and     t1, #$FF
              shl     t1, #24
              or      ans, t1
              mov     ab, #4
:byte         mov     txd, ans
              and     txd, #$FF
              shl     txd, #1                     ' start bit 0, data, stop bits
              or      txd, stopbits
              mov     t, cnt
              add     t, #24
              call    #tx
              shr     ans, #8
              djnz    ab, #:byte
answer_ret    ret

'---------------------------------------------------------------------------------------------------
' The code copied into the unrolled loops
'---------------------------------------------------------------------------------------------------
rx_start      waitpne rxmask, rxmask              ' the start bit's edge
              mov     t, cnt
              add     t, first
rx_bit        waitcnt t, bt
              test    rxmask, ina wc
              rcr     data, #1
rx_end        waitpeq rxmask, rxmask              ' past bit 7, should it be 0: a late waitpne then
                                                  ' costs a few clocks, an early one a whole byte
rx_gap0       ' after byte 0, the long before this one goes to hub RAM
        if_z  wrlong  prev, ptr
        if_z  add     ptr, #4
rx_gap1       ' after byte 1, the checker is told how far it may read
              wrlong  ptr, m0addr
              mov     t0, #0 wz
rx_gap3       mov     prev, data
              djnz    n, #rx
              jmp     #received
tx_bit        waitcnt t, bt                       ' unrolled: a djnz between bits would miss
              shr     txd, #1 wc                  ' the next waitcnt under 18 clocks a bit
              muxc    outa, txmask
tx_tail       waitcnt t, bt
              ret

'--- emit: copy gl longs from cog address gs to gd onwards ------------------------------------------
emit          movs    :copy, gs
              movd    :copy, gd
              add     gd, gl
:copy         mov     0-0, 0-0
              add     :copy, dsone
              djnz    gl, #:copy
emit_ret      ret

rxbyte        mov     gs, #rx_start
              mov     gl, #3
              call    #emit
              mov     gc, #8
:bit          mov     gs, #rx_bit
              mov     gl, #3
              call    #emit
              djnz    gc, #:bit
              mov     gs, #rx_end
              mov     gl, #1
              call    #emit
rxbyte_ret    ret

'---------------------------------------------------------------------------------------------------
rxmask        long    |< RX_PIN
txmask        long    |< TX_PIN
m0addr        long    $7FF8                       ' receiver -> checker: how far, or the end
m1addr        long    $7FFC                       ' the host's check
ctlbase       long    $7FF0                       ' where control messages land
maxlongs      long    $7FF4 >> 2
ramlongs      long    $2000
c1024         long    1024
lowword       long    $FFFF
endflag       long    $1_0000
badflag       long    $4_0000
verdicts      long    $6_0000
noverdict     long    $4_0000
dsone         long    $201
stopbits      long    $600
marker        long    $FFF9_FFFF
zero          long    0
loadwait      long    12_000
idlemin       long    2048
wsame         long    $FFFF_FFFF                  ' no rate yet: a sync needs a pause before it
settle        long    400_000                     ' 20 ms at 20 MHz
interpreter   long    ($0004 >> 2) << 18 | ($F004 >> 2) << 4   ' PAR $0004, code $F004, cog 0

t             res     1
t0            res     1
t1            res     1
t2            res     1
t3            res     1
w             res     1
bt            res     1
first         res     1
n             res     1
data          res     1
prev          res     1
ptr           res     1
base          res     1
count         res     1
trailer       res     1
width         res     1
msum          res     1
isum          res     1
seq           res     1
len           res     1
flags         res     1
ac            res     1
av            res     1
ans           res     1
ab            res     1
txd           res     1
checkcog      res     1
gs            res     1
gd            res     1
gl            res     1
gc            res     1
rx            res     4 * 28 + 7
tx            res     11 * 3 + 1
tx_ret        res     1
              fit     496

'---------------------------------------------------------------------------------------------------
' The checker: CRC-32 (reflected, $EDB88320) of each message's longs as the receiver stores them
'---------------------------------------------------------------------------------------------------
              org     0
checker
:idle         rdlong  cv, cm0addr
              cmp     cv, cramtop wc               ' an address: a message begins there
        if_nc jmp     #:idle
              mov     crp, cv
              neg     crc, #1
              mov     csum, #0
:run          rdlong  cv, cm0addr
              mov     ce, cv
              and     ce, clowword
:catch        cmp     crp, ce wz
        if_z  jmp     #:caught
              rdlong  cx, crp
              add     crp, #4
              xor     crc, cx
              mov     cb, #3                      ' and the sum of its bytes
:bytes        add     csum, cx
              shr     cx, #8
              djnz    cb, #:bytes
              add     csum, cx
              mov     cb, #32
:bit          shr     crc, #1 wc
        if_c  xor     crc, poly
              djnz    cb, #:bit
              jmp     #:catch
:caught       test    cv, cendflag wz
        if_z  jmp     #:run
              rdlong  cx, cm1addr
              xor     cx, crc
              cmp     cx, callones wz              ' the host's check is the CRC's complement
              and     csum, #$FF
        if_z  or      csum, cgood
        if_nz mov     csum, cbad
              wrlong  csum, cm0addr
              jmp     #:idle

cm0addr       long    $7FF8
cm1addr       long    $7FFC
cramtop       long    $8000
clowword      long    $FFFF
cendflag      long    $1_0000
cgood         long    $2_0000
cbad          long    $4_0000
callones      long    $FFFF_FFFF
poly          long    $EDB8_8320

cv            res     1
ce            res     1
cx            res     1
cb            res     1
crp           res     1
crc           res     1
csum          res     1
              fit     496
