{{ Kestrup's second stage: loaded by the boot ROM, it takes the image over the serial line at the
   host's fastest rate, in checked packets, and starts it exactly as the ROM would.

   The host's side and the wire format are described in loader/second_stage.h.

   Two cogs. The receiver (cog 0) times the line from each message's sync pulse, samples every
   byte from its own start bit and writes the longs straight into hub RAM, where the talker
   orders it to. The talker follows it through hub RAM computing the CRC-32, so that a verdict is
   ready as soon as the last byte is in; it answers the host, keeps the count of the packets,
   finishes the RAM picture, checks it by the ROM's rule, programs the EEPROM, and orders the
   start. They talk through the two longs at the top of RAM (m0, m1), which no image that
   leaves room for its stack markers reaches; at the end they hold the picture's own values.

   m0, from the receiver: how far it has stored (an address), or the end of a message: the
   address after it | $8000 | the sync's width << 16. From the talker: an order, %10 in bits
   31..30: count << 16 | where; or the start, bit 29, with bit 0 set when m0's picture value is
   a stack marker. m1: the check the host sent with the message. }}

CON
  RX_PIN     = 31
  TX_PIN     = 30
  SCL_PIN    = 28
  SDA_PIN    = 29

  ' Clocks by which the first waitcnt must come early for ina to be read mid-bit, with the
  ' reading of cnt after waitpne. Found on the chip's logic at 15 clocks a bit, where 10 to 12
  ' sample right and 14 leaves the first waitcnt too little time to catch its count.
  LATENCY    = 12

PUB start
  coginit(0, @receiver, @talker)

DAT
'===================================================================================================
' The receiver, cog 0
'===================================================================================================
              org     0
receiver      mov     t1, par                     ' PAR: the talker's code
              shl     t1, #2
              or      t1, #%1000
              coginit t1 wr
              mov     talkcog, t1

              ' The byte loop is unrolled at run time: a waitcnt loop has no room for a djnz at
              ' 16 clocks a bit, and unrolled in the image it would cost time on the ROM's line.
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

'--- wait for the talker's order: count longs (data, trailer, check) to store from where ------------
order         rdlong  t1, m0addr
              mov     t2, t1
              shr     t2, #30
              cmp     t2, #%10 wz
        if_nz jmp     #order
              test    t1, launchbit wz
        if_nz jmp     #launch
              mov     ptr, t1
              and     ptr, lowaddr
              mov     count, t1
              shr     count, #16
              and     count, #$1FF

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
              mov     width, w
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
              mov     t1, width
              and     t1, widthmask
              shl     t1, #16
              or      t1, ptr
              or      t1, endbit
              wrlong  t1, m0addr
              mov     wsame, bt                   ' the next sync at this rate is 4 bits long
              shl     wsame, #1
              shr     bt, #1
              add     wsame, bt
              jmp     #order

launch        cogstop talkcog                     ' it has stopped itself: the ROM leaves no cog
              test    t1, #1 wz                   ' m0 back to its picture value
        if_z  mov     t2, #0
        if_nz neg     t2, marker6
              wrlong  t2, m0addr
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

'--- the code copied into the unrolled loop ---------------------------------------------------------
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
rx_gap1       ' after byte 1, the talker is told how far it may read
              wrlong  ptr, m0addr
              mov     t0, #0 wz
rx_gap3       mov     prev, data
              djnz    n, #rx
              jmp     #received

' emit: copy gl longs from cog address gs to gd onwards
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

rxmask        long    |< RX_PIN
m0addr        long    $7FF8
m1addr        long    $7FFC
lowaddr       long    $7FFF
endbit        long    $8000
widthmask     long    $3FFF
launchbit     long    $2000_0000
marker6       long    $0006_0001                  ' negated: the stack marker $FFF9_FFFF
dsone         long    $201
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
width         res     1
bt            res     1
first         res     1
n             res     1
data          res     1
prev          res     1
ptr           res     1
count         res     1
talkcog       res     1
gs            res     1
gd            res     1
gl            res     1
gc            res     1
rx            res     4 * 28 + 7
              fit     496

'===================================================================================================
' The talker
'===================================================================================================
              org     0
talker        mov     ctra, txcounter             ' P30 is phsa's top bit: shifted out a bit a turn
              neg     phsa, #1
              or      dira, txmask
              mov     ac, #0                      ' nothing to answer yet

'--- before the image: hello (the host times the chip's clock by it) and begin ---------------------
idle          mov     obase, ctlbase
              mov     ocount, #2                  ' a trailer and its check
              call    #exchange
        if_c  jmp     #:nak
              mov     u1, trailer
              and     u1, #$FF
              cmp     u1, #"H" wz
        if_z  jmp     #:hello
              cmp     u1, #"B" wz
        if_z  jmp     #:begin
:nak          mov     ac, #"N"
              mov     av, #0
              jmp     #idle
:hello        mov     ac, #"H"
              mov     av, hwidth
              jmp     #idle
:begin        mov     len, trailer
              shr     len, #16                    ' longs in the image
              mov     flags, trailer
              shr     flags, #8
              and     flags, #$FF
              mov     av, len
              mov     ac, #"b"
              cmp     len, #4 wc                  ' not even a header
        if_nc cmp     maxlongs, len wc            ' or into the longs the cogs talk through
        if_c  jmp     #idle
#ifdef EEPROM
              mov     u1, flags                   ' the chip's MHz, rounded up: at 14 or less the
              shr     u1, #2                      ' I2C keeps within 400 kHz without its delays
              sub     u1, #1
              cmp     u1, #14 wc
        if_c  mov     edly, fastdly
#else
              test    flags, #1 wz                ' no EEPROM in this build
        if_nz jmp     #idle
#endif
              mov     ac, #"B"
              mov     seq, #0
              mov     isum, #0

'--- the image, in packets of 256 longs --------------------------------------------------------------
packet        mov     obase, seq
              shl     obase, #10
              mov     ocount, seq                 ' the longs still to come, at most 256
              shl     ocount, #8
              subs    ocount, len
              neg     ocount, ocount
              max     ocount, #256
              add     ocount, #2                  ' and the trailer and the check
              call    #exchange
              mov     u1, seq                     ' the trailer this packet must carry
              shl     u1, #8
              or      u1, #"D"
              mov     u2, len
              shl     u2, #16
              or      u1, u2
        if_c  jmp     #:nak
              cmp     trailer, u1 wz
        if_z  jmp     #:accept
              sub     u1, #$100
              cmp     trailer, u1 wz              ' the one before again: its answer was lost
              mov     ac, #"A"
              mov     av, seq
              sub     av, #1
        if_z  jmp     #packet
:nak          mov     ac, #"N"
              mov     av, seq
              jmp     #packet
:accept       add     isum, msum                  ' the image's bytes, less the trailer's
              mov     u3, trailer
              call    #bytesum
              sub     isum, u2
              mov     ac, #"A"
              mov     av, seq
              add     seq, #1
              mov     u1, seq
              shl     u1, #8
              cmp     u1, len wc                  ' more to come
        if_c  jmp     #packet
              call    #answer                     ' the last one's; the receiver gets no order

'--- the whole image is in: the ROM's own check, the EEPROM, the ROM's own start ------------------
finish        mov     u1, len                     ' zeros above the image
              shl     u1, #2
              mov     u2, ramlongs
              sub     u2, len
:zero         wrlong  zero, u1
              add     u1, #4
              djnz    u2, #:zero
              rdword  u1, #10                     ' the stack markers below dbase
              sub     u1, #8
              call    #stackmark
              call    #stackmark
              mov     av, isum                    ' all 32 KB sum to 0 mod 256: the image's bytes as
              and     av, #$FF wz                 ' the checker read them, zeros, markers
              mov     ac, #"S"
        if_nz jmp     #shutdown
#ifdef EEPROM
              test    flags, #1 wz
        if_z  jmp     #:run
              call    #eeprom
        if_c  jmp     #shutdown
              mov     ac, #"X"
              mov     av, #0
              test    flags, #2 wz                ' programmed: run only when asked
        if_z  jmp     #shutdown
#endif
:run          rdword  av, #6                      ' pbase: the ROM starts nothing else
              mov     ac, #"P"
              cmp     av, #$10 wz
        if_nz jmp     #shutdown
              mov     ac, #"L"
              mov     av, #0
              call    #answer
              rdlong  u1, m0                      ' m0's picture value goes with the order
              cmp     u1, marker wz
              mov     u1, startorder
        if_z  or      u1, #1
              wrlong  u1, m0
              cogid   u1
              cogstop u1

shutdown      call    #answer
              mov     u1, #0
              cogstop u1                          ' the receiver, cog 0
              cogid   u1
              cogstop u1

' a stack marker at u1, in the sum instead of what was there; none beyond RAM
stackmark     cmp     u1, ramtop wc
        if_c  rdlong  u3, u1
        if_c  call    #bytesum
        if_c  sub     isum, u2
        if_c  wrlong  marker, u1
        if_c  add     isum, #$F6                  ' $FF + $F9 + $FF + $FF, mod 256
              add     u1, #4
stackmark_ret ret

' u2: the sum of u3's four bytes (its low byte)
bytesum       mov     u2, u3
              shr     u3, #8
              add     u2, u3
              shr     u3, #8
              add     u2, u3
              shr     u3, #8
              add     u2, u3
bytesum_ret   ret

'---------------------------------------------------------------------------------------------------
' exchange: order the receiver to take the next message (ocount longs at obase), answer the last
' one (ac, unless 0), then check the message as it arrives: CRC-32 (reflected, $EDB88320) of its
' longs. Returns C set when the check failed, the trailer (the long before the check), msum (the
' sum of the message's bytes), hwidth (its sync's 4 bit times) and hbt, its bit time.
'---------------------------------------------------------------------------------------------------
exchange      mov     u1, ocount
              shl     u1, #16
              or      u1, obase
              or      u1, goflag
              wrlong  u1, m0
              cmp     ac, #0 wz
        if_nz call    #answer
              mov     crp, obase
              neg     crc, #1
              mov     csum, #0
:run          rdlong  u1, m0
              test    u1, goflag wz               ' still the order: nothing has come yet
        if_nz jmp     #:run
              mov     u2, u1
              and     u2, ramtop4
:catch        cmp     crp, u2 wz
        if_z  jmp     #:caught
              rdlong  u3, crp
              add     crp, #4
              xor     crc, u3
              mov     cb, #3
:bytes        add     csum, u3
              shr     u3, #8
              djnz    cb, #:bytes
              add     csum, u3
              mov     cb, #32
:bit          shr     crc, #1 wc
        if_c  xor     crc, poly
              djnz    cb, #:bit
              jmp     #:catch
:caught       test    u1, endflag wz              ' the end of the message
        if_z  jmp     #:run
              mov     hwidth, u1
              shr     hwidth, #16
              mov     hbt, hwidth
              add     hbt, #2
              shr     hbt, #2
              sub     crp, #4
              rdlong  trailer, crp
              mov     msum, csum
              rdlong  u3, m1
              xor     u3, crc
              xor     u3, allones                 ' the host sends the CRC's complement
              cmp     zero, u3 wc
exchange_ret  ret

'---------------------------------------------------------------------------------------------------
' answer: four bytes at the last message's rate: code ac, value av (16 bits) and a check byte
'---------------------------------------------------------------------------------------------------
answer        mov     ans, av
              and     ans, lowword
              shl     ans, #8
              or      ans, ac
              mov     u1, ac
              xor     u1, av
              mov     u2, av
              shr     u2, #8
              xor     u1, u2
              xor     u1, #$5A
              and     u1, #$FF
              shl     u1, #24
              or      ans, u1
              mov     ab, #4
:byte         mov     txd, ans                    ' start bit, data from bit 30 down, stop bits
              rev     txd, #24
              shl     txd, #23
              or      txd, stopbits
              mov     ct, cnt
              add     ct, #16
              waitcnt ct, hbt
              mov     phsa, txd
              mov     cb, #10
:bit          waitcnt ct, hbt
              shl     phsa, #1
              djnz    cb, #:bit
              waitcnt ct, hbt                      ' the second stop bit's time
              shr     ans, #8
              djnz    ab, #:byte
answer_ret    ret

#ifdef EEPROM
'---------------------------------------------------------------------------------------------------
' eeprom: the 24xx256 on P28/P29 made equal to the RAM picture, page by page: a page that reads
' differently is written and read back. Answers "p" every 64 pages and "E" with the pages written;
' returns C set, with ac "e" (no acknowledgement) or "v" (read back wrong) and av the page.
'---------------------------------------------------------------------------------------------------
eeprom        mov     ea, #0
              mov     epw, #0
:page         call    #compare
        if_nc jmp     #:next
              mov     av, ea
              shr     av, #6
              call    #pagewrite
              mov     ac, #"e"
        if_c  jmp     #eeprom_ret
              call    #compare
              mov     ac, #"v"
        if_c  jmp     #eeprom_ret
              add     epw, #1
:next         add     ea, #64
              mov     av, ea
              shr     av, #6
              test    av, #63 wz
              mov     ac, #"p"
        if_z  call    #answer
              cmp     ea, ramtop wz
        if_nz jmp     #:page
              mov     ac, #"E"
              mov     av, epw
              call    #answer
              cmp     zero, zero wc               ' done: C clear
eeprom_ret    ret

' compare: C set when the page at ea reads otherwise than the picture (or gets no acknowledgement)
compare       call    #address
        if_c  jmp     #compare_ret
              call    #i2cstart                   ' read from there
              mov     eb, #$A1
              call    #i2cwrite
        if_c  jmp     #compare_ret
              mov     ediff, #0
              mov     eaddr, ea
              mov     ek2, #64
:byte         cmp     ek2, #1 wz                  ' the last byte is not acknowledged
              call    #i2cread
              rdbyte  u3, eaddr
              and     eb, #$FF
              cmp     eb, u3 wz
        if_nz mov     ediff, #1
              add     eaddr, #1
              djnz    ek2, #:byte
              call    #i2cstop
              cmp     zero, ediff wc
compare_ret   ret

' pagewrite: the picture's page at ea, then the write cycle; C set when never acknowledged
pagewrite     call    #address
        if_c  jmp     #pagewrite_ret
              mov     eaddr, ea
              mov     ek2, #64
:byte         rdbyte  eb, eaddr
              call    #i2cwrite
              add     eaddr, #1
              djnz    ek2, #:byte
              call    #i2cstop
              mov     ek2, polls                  ' busy writing until it answers its address
:poll         call    #i2cstart
              mov     eb, #$A0
              call    #i2cwrite
              call    #i2cstop
        if_c  djnz    ek2, #:poll
pagewrite_ret ret

' address: start, the device for writing and ea; C set when not acknowledged
address       call    #i2cstart
              mov     eb, #$A0
              call    #i2cwrite
        if_nc mov     eb, ea
        if_nc shr     eb, #8
        if_nc call    #i2cwrite
        if_nc mov     eb, ea
        if_nc call    #i2cwrite
address_ret   ret

' I2C, at most 400 kHz at the fastest RC clock: SCL driven, SDA pulled up and only pulled down
i2cstart      andn    dira, sdamask
              or      outa, sclmask
              or      dira, sclmask
              call    #edly
              or      dira, sdamask               ' SDA falls while SCL is high
              call    #edly
              andn    outa, sclmask
              call    #edly
i2cstart_ret  ret

i2cstop       or      dira, sdamask
              call    #edly
              or      outa, sclmask
              call    #edly
              andn    dira, sdamask               ' SDA rises while SCL is high
              call    #edly
i2cstop_ret   ret

' the low byte of eb, most significant bit first; C set when not acknowledged
i2cwrite      shl     eb, #24
              mov     ek, #9                      ' and the acknowledgement's clock, SDA let go
              or      eb, ackbit
:bit          shl     eb, #1 wc
              muxnc   dira, sdamask
              call    #edly
              or      outa, sclmask
              call    #edly
              test    sdamask, ina wc
              andn    outa, sclmask
              djnz    ek, #:bit
i2cwrite_ret  ret

' a byte into eb's low bits; acknowledged unless Z (the last one read)
i2cread       andn    dira, sdamask
              mov     ek, #8
:bit          call    #edly
              or      outa, sclmask
              call    #edly
              test    sdamask, ina wc
              andn    outa, sclmask
              rcl     eb, #1
              djnz    ek, #:bit
              muxnz   dira, sdamask
              call    #edly
              or      outa, sclmask
              call    #edly
              andn    outa, sclmask
              andn    dira, sdamask
i2cread_ret   ret

edly          nop                                 ' with the two nops: 400 kHz at 20.8 MHz
              nop
edly_ret      ret
fastdly       jmp     edly_ret                    ' without: at 14.4 MHz
#endif

txmask        long    |< TX_PIN
txcounter     long    %00100 << 26 | TX_PIN       ' NCO, single-ended: the pin is phsa[31]
m0            long    $7FF8
m1            long    $7FFC
ctlbase       long    $7FF0                       ' where hello and begin land
maxlongs      long    $7FF4 >> 2
ramtop        long    $8000
ramtop4       long    $7FFF
endflag       long    $8000
ramlongs      long    $2000
lowword       long    $FFFF
goflag        long    $8000_0000
startorder    long    $A000_0000
allones       long    $FFFF_FFFF
poly          long    $EDB8_8320
stopbits      long    $007F_FFFF
marker        long    $FFF9_FFFF
zero          long    0
#ifdef EEPROM
sclmask       long    |< SCL_PIN
sdamask       long    |< SDA_PIN
ackbit        long    $0080_0000
polls         long    2000
#endif

u1            res     1
u2            res     1
u3            res     1
ac            res     1
av            res     1
ans           res     1
ab            res     1
txd           res     1
ct            res     1
cb            res     1
crp           res     1
crc           res     1
csum          res     1
msum          res     1
hwidth         res     1
hbt            res     1
trailer       res     1
obase         res     1
ocount        res     1
len           res     1
flags         res     1
seq           res     1
isum          res     1
#ifdef EEPROM
ea            res     1
eaddr         res     1
eb            res     1
ek            res     1
ek2           res     1
epw           res     1
ediff         res     1
#endif
              fit     496
