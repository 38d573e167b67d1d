{{ Kestrup's second stage: loaded by the boot ROM, it takes the image over the serial line at the
   host's fastest rate, in checked packets, proves what it holds, and starts it exactly as the ROM
   would when the host says go.

   The wire's facts are loader/wire/wire.h's; the host's side is described in
   docs/protocol.md.

   Three cogs. The receiver (cog 0) times the line from each message's sync
   pulse, reads the message's length byte, samples every byte from its own start bit and writes the
   longs straight into hub RAM, where the talker orders it to: by waitcnt at 15 clocks a bit or
   more, two stop bits; and in the RAM build by its instructions' own time at exactly 12, with one
   stop bit, taking every other long while a second receiver (cog 2, the same code) takes the rest:
   one stop bit leaves no time for a hub write between two bytes. The talker follows through hub RAM
   computing one CRC-32, which goes on from the image's over a packet's data and then checks its
   trailer, so that a verdict is ready as soon as the last byte is in;
   it answers the host, keeps the count of the packets, finishes the RAM picture, checks it by the
   ROM's rule, and starts the image. In the EEPROM build cog 2 programs the EEPROM, page by page as
   the talker tells it that the packets holding a page were checked (its own description below).
   They talk through the two longs at the top of RAM (m0, m1), which no image that leaves room for
   its stack markers reaches, and the EEPROM's cog through the long below them; at the start they
   get back the picture's own values.

   m0, from the receiver: how far it has stored (an address), or the end of a message: the
   address after its trailer | $8000 | the sync's width << 16. From the talker: an order, %10 in
   bits 31..30: the most longs to take << 16 | where to store them. m1, from the receiver: the
   check the host sent with the message; from the talker, with each order: the shortest low pulse
   the receiver may take for a sync. }}

CON
  RX_PIN     = 31
  TX_PIN     = 30
  SCL_PIN    = 28
  SDA_PIN    = 29

  ' Clocks by which the first waitcnt must come early for ina to be read mid-bit, with the
  ' reading of cnt after waitpne. Found on the chip's logic at 15 clocks a bit, where 10 to 12
  ' sample right and 14 leaves the first waitcnt too little time to catch its count.
  LATENCY    = 12

  ' Clocks by which a follower's waitcnt comes early for its waitpeq to read ina mid-bit
  FOLLOW_EARLY = 10

  ' What the host, propsim's model and the tests know of this code, as loader/wire/wire.h has it:
  ' scripts/check-wire holds every constant marked "wire:" to the name it gives there.
  SYNC_SHIFT      = 2                             ' the sync: start bit and three zeros, 4 bit times
  SYNC_BITS       = 1 << SYNC_SHIFT               ' wire: stage::syncBits
  SLOW_SYNC_LEAST = 60                            ' wire: stage::minSyncClocks
  FAST_SYNC_LEAST = 46                            ' wire: stage::fastSyncLeast
  FAST_SYNC_MOST  = 50                            ' wire: stage::fastSyncMost
  FIRST_FLOOR     = 216                           ' wire: stage::firstSyncFloor
  MAILBOX         = $7FF8                         ' wire: stage::mailbox
  RAM_TOP         = $8000                         ' wire: stage::ramBytes
  MIN_LONGS       = 4                             ' wire: stage::minLongs
  MAX_LONGS       = MAILBOX / 4 - 1               ' wire: stage::maxLongs
  PACKET_SHIFT    = 8                             ' packet k at k << 10 - k << 2, 1020 k
  PACKET_LONGS    = (1 << PACKET_SHIFT) - 1       ' wire: stage::packetLongs
  FLAG_EEPROM     = 1                             ' wire: stage::beginProgramEeprom
  FLAG_RUN        = 2                             ' wire: stage::beginRunAfterEeprom
  MHZ_SHIFT       = 2                             ' wire: stage::beginMegahertzShift
  STACK_MARKER    = $FFF9_FFFF                    ' wire: stage::stackMarker
  MARKER_HIGH     = (STACK_MARKER >> 16 & $FF) + (STACK_MARKER >> 24)
  MARKER_SUM      = ((STACK_MARKER & $FF) + (STACK_MARKER >> 8 & $FF) + MARKER_HIGH) & $FF
  START_PBASE     = $0010                         ' wire: stage::startPbase
  SETTLE_CLOCKS   = 400_000                       ' wire: stage::settleClocks
  GO_SHIFT        = 8
  GO_UNIT         = 1 << GO_SHIFT                 ' wire: stage::goDelayClocks
  PAGE_SHIFT      = 6
  PAGE_BYTES      = 1 << PAGE_SHIFT               ' wire: stage::eepromPageBytes
  PAGES           = RAM_TOP / PAGE_BYTES
  PROGRESS_PAGES  = 16                            ' wire: stage::pagesPerProgress
  FEED            = MAILBOX - 4                   ' wire: stage::eepromFeed
  ' The fewest clocks an I2C bit may take: the bit bodies' own instructions, to the clock
  I2C_LEAST       = 30

  MSG_HELLO       = "U"                           ' wire: stage::message::hello
  MSG_RATE        = "R"                           ' wire: stage::message::rate
  MSG_CLOCK       = "C"                           ' wire: stage::message::clock
  MSG_BEGIN       = "B"                           ' wire: stage::message::begin
  MSG_DATA        = "D"                           ' wire: stage::message::data
  MSG_QUERY       = "Q"                           ' wire: stage::message::query
  MSG_GO          = "G"                           ' wire: stage::message::go
  MSG_STOP        = "X"                           ' wire: stage::message::stop

  ANS_HELLO       = "H"                           ' wire: stage::answer::hello
  ANS_RATE        = "R"                           ' wire: stage::answer::rate
  ANS_CLOCK       = "C"                           ' wire: stage::answer::clock
  ANS_BEGUN       = "B"                           ' wire: stage::answer::begun
  ANS_NO_BEGIN    = "b"                           ' wire: stage::answer::beginRefused
  ANS_ACCEPTED    = "A"                           ' wire: stage::answer::accepted
  ANS_NOT_TAKEN   = "N"                           ' wire: stage::answer::notTaken
  ANS_IDLE        = "I"                           ' wire: stage::answer::idle
  ANS_PROGRESS    = "p"                           ' wire: stage::answer::eepromProgress
  ANS_SUM_WRONG   = "S"                           ' wire: stage::answer::sumWrong
  ANS_NO_START    = "P"                           ' wire: stage::answer::notStartable
  ANS_WRITTEN     = "E"                           ' wire: stage::answer::eepromWritten
  ANS_NO_ACK      = "e"                           ' wire: stage::answer::eepromNoAck
  ANS_READ_WRONG  = "v"                           ' wire: stage::answer::eepromWrong
  ANS_PROVEN      = "V"                           ' wire: stage::answer::proven
  ANS_GOING       = "G"                           ' wire: stage::answer::going

  WHY_CHECK       = 1                             ' wire: stage::Refusal::check
  WHY_PACKET      = 2                             ' wire: stage::Refusal::otherPacket
  WHY_LENGTH      = 3                             ' wire: stage::Refusal::length
  WHY_NOT_NOW     = 4                             ' wire: stage::Refusal::notNow

PUB start
#ifndef EEPROM
  coginit(2, @receiver, 0)
#else
  coginit(2, @eeprom, 0)                        ' before the image overwrites its code
#endif
  coginit(0, @receiver, @talker)

DAT
'===================================================================================================
' The receiver, cog 0
'===================================================================================================
              org     0
receiver
#ifndef EEPROM
              mov     t1, par wz                  ' PAR 0: the second receiver, cog 2, which
        if_z  mov     second, #1                  ' starts nothing
        if_z  movs    f_jentry + 1, #folf
        if_z  jmp     #init
#endif
              ' The first sync's floor, which the talker takes from long 0: the bootstrap leaves its
              ' bit time there, so that the host's first hellos may come at the bootstrap's rate; the
              ' ROM leaves this image's clock frequency, which the ROM's own 216 clocks caps.
              rdlong  t1, #0
              max     t1, #FIRST_FLOOR
              wrlong  t1, #0
              mov     t1, par                     ' PAR: the talker's code
              shl     t1, #2
              or      t1, #%1000
              coginit t1 wr
#ifndef EEPROM
              jmp     #init
#endif

              ' The byte loop is unrolled at run time: a waitcnt loop has no room for a djnz at
              ' 16 clocks a bit, and unrolled in the image it would cost time on the ROM's line.
slowinit      mov     gd, #rx
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

'--- wait for the talker's order: at most limit longs (data, trailer, check) to store from where ----
order         rdlong  t1, m0addr
              mov     t2, t1
              shr     t2, #30
              cmp     t2, #%10 wz
        if_nz jmp     #order
              rdlong  least, m1addr
              mov     ptr, t1
              and     ptr, lowaddr
              mov     limit, t1
              shr     limit, #16
              and     limit, #$1FF

sync          waitpeq rxmask, rxmask
              waitpne rxmask, rxmask
              mov     t1, cnt
              waitpeq rxmask, rxmask
              mov     w, cnt
              sub     w, t1                       ' the sync: start bit and three zeros, 4 bit times
              cmp     w, least wc                 ' a filler, a late poll or data, whatever the
        if_c  jmp     #sync                       ' pause before it
              cmp     w, #SLOW_SYNC_LEAST wc      ' under 15 clocks a bit: the waitcnts fall behind
#ifdef EEPROM
        if_c  jmp     #sync
#else
        if_c  jmp     #fast
              tjnz    second, #bwait
#endif
              mov     width, w
              mov     bt, w                       ' the bit time, rounded
              add     bt, #SYNC_BITS / 2
              shr     bt, #SYNC_SHIFT
              mov     t0, bt
              shl     t0, #SYNC_SHIFT
              sub     w, t0                       ' 4 x the error of the rounded bit time: -2..1
              mov     first, bt                   ' to the middle of bit 0, the error centred on
              shr     first, #1                   ' the middle of the byte
              add     first, bt
              adds    first, w
              sub     first, #LATENCY

              waitpne rxmask, rxmask              ' the length byte: the data longs that follow
              mov     t, cnt
              add     t, first
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitcnt t, bt
              test    rxmask, ina wc
              rcr     n, #1
              waitpeq rxmask, rxmask
              shr     n, #24                      ' no more than four instructions here: the next
              add     n, #2                       ' start bit comes 2.5 bit times after bit 7's
              max     n, limit wz                 ' Z clear: the first long has none before it
              jmp     #rx

#ifndef EEPROM
fast          mov     t0, w                       ' 46 to 50 clocks: 12 a bit, within the 4% that
              sub     t0, #FAST_SYNC_LEAST        ' bit 7's sample drifts under half a bit
              cmp     t0, #FAST_SYNC_MOST - FAST_SYNC_LEAST + 1 wc
        if_nc jmp     #sync
              mov     width, w
              jmp     #rxl

bwait         rdlong  t1, m0addr                  ' the second receiver, at a rate the first takes
              test    t1, endbit wz               ' alone: until that message has ended
        if_z  jmp     #bwait
              jmp     #order

' The second receiver's start: long 0, the first one's, followed by its start bits and bits 7
folf          waitpne rxmask, rxmask
              mov     t, cnt
              add     t, fwait
              rcr     data, #1                    ' the length byte's bit 7
              mov     n, data
              shr     n, #24
              add     n, #2
              max     n, limit
              add     ptr, #4                     ' this one's longs: 1, 3, 5 ...
              sub     n, #1 wz                    ' long 0 (Z clear: never the last)
              mov     k, #3
follow        waitcnt t, #0                       ' to bit 7's middle, then the next start bit
              waitpeq rxmask, rxmask
              waitpne rxmask, rxmask
              mov     t, cnt
              add     t, fwait
              djnz    k, #follow
              waitcnt t, #0
              waitpeq rxmask, rxmask
              jmp     #rxf

' After this receiver's long, whose bit 31 is in C: the other's followed, while this one's goes to
' hub RAM and the talker is told how far it may read, all before the other's byte 0 is at bit 7
fol           waitpeq rxmask, rxmask
              waitpne rxmask, rxmask
              mov     t, cnt
              add     t, fwait
              rcr     data, #1
              wrlong  data, ptr
              add     ptr, #4
              wrlong  ptr, m0addr
              add     ptr, #4
              sub     n, #1 wz                    ' the other's: the last, the check?
        if_z  jmp     #order
              mov     k, #3
              jmp     #follow

rxf_end       rcr     data, #1                    ' the check's bit 7
              mov     prev, data
#endif
received      wrlong  prev, m1addr                ' the check the host sent
              mov     t1, width
              and     t1, widthmask
              shl     t1, #16
              or      t1, ptr
              or      t1, endbit
              wrlong  t1, m0addr
              jmp     #order

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

#ifndef EEPROM
second        long    0                           ' 1 in the second receiver
#endif


rxmask        long    |< RX_PIN
m0addr        long    MAILBOX
m1addr        long    MAILBOX + 4
lowaddr       long    RAM_TOP - 1
endbit        long    RAM_TOP                     ' above any address
widthmask     long    $3FFF
dsone         long    $201

#ifndef EEPROM
'--- run once, then overwritten by the byte loop it unrolls ----------------------------------------
              ' At 12 clocks a bit no waitcnt keeps up: the bits are sampled by the instructions'
              ' own time, from each start bit's edge, the rcr of bit 7 put off into the next byte's
              ' start. With one stop bit a hub write does not fit between two bytes, so two
              ' receivers take the longs in turn: while one takes its four bytes, the other follows
              ' them by their start bits and bits 7, and writes its own long to hub RAM meanwhile.
              ' Both take the length byte, which sets the follower's wait to a bit 7 (8.5 bit times).
init          mov     gd, #rxl                    ' the length byte, with the follower's wait
              mov     t2, #g_len
              call    #rxfbyte
              mov     gs, #f_jentry
              mov     gl, #2
              call    #emit
              mov     t2, #g_first                ' rxf: a long's byte 0; in long 0 (Z set) the
              call    #rxfbyte                    ' count of longs from the length byte
              mov     gs, #f_peq
              call    #emit1
              mov     t2, #g_none
              call    #rxfbyte
              mov     gs, #f_peq
              call    #emit1
              mov     t2, #g_none
              call    #rxfbyte
              mov     gs, #f_peq
              call    #emit1
              mov     t2, #g_last                 ' byte 3: the check goes to the verdict, any
              call    #rxfbyte                    ' other long to hub RAM while the other
              mov     gs, #f_jnext                ' receiver's is followed
              call    #emit1
              jmp     #slowinit

emit1         mov     gl, #1
              call    #emit
emit1_ret     ret

' rxfbyte: at gd, a byte sampled at 12 clocks a bit: waitpne, the byte before's bit 7, then nine
' slots, of which the first six from t2 on and the rest nops: two before bit 0's test (which they
' bring to its middle) and one after each of bits 0 to 6; bit 7's test ends it
rxfbyte       mov     gs, #rxf_start
              mov     gl, #2
              call    #emit
              mov     gc, #9
:slot         mov     gs, t2
              cmp     gc, #4 wc
        if_c  mov     gs, #g_none
              call    #emit1
              add     t2, #1
              cmp     gc, #9 wz
        if_z  jmp     #:next
              mov     gs, #rxf_bit
              mov     gl, #2
              cmp     gc, #1 wz
        if_z  mov     gl, #1
              call    #emit
:next         djnz    gc, #:slot
rxfbyte_ret   ret

rxf_start     waitpne rxmask, rxmask
              rcr     data, #1
rxf_bit       test    rxmask, ina wc
              rcr     data, #1
f_jentry      waitpeq rxmask, rxmask              ' to the first receiver's long 0, or to
              jmp     #rxf                        ' the second's folf
f_peq         waitpeq rxmask, rxmask              ' past bit 7, should it be 0
f_jnext       jmp     nextj
' the slots' groups, six each, overlapping where nops meet
g_len         mov     fwait, width                ' the follower's wait: 17/8 of the sync's
              shl     fwait, #4                   ' width, early by what it takes to read ina
              add     fwait, width
              shr     fwait, #3
              sub     fwait, #FOLLOW_EARLY
              mov     t0, #0 wz                   ' Z: long 0 comes, with the count to make
g_first if_z  mov     n, data                     ' the length byte, in long 0's byte 0
        if_z  shr     n, #24
        if_z  add     n, #2
        if_z  max     n, limit
g_none        long    0[3]
g_last        long    0[3]
              sub     n, #1 wz
        if_z  mov     nextj, #rxf_end
        if_nz mov     nextj, #fol

              org     init
#endif
#ifdef EEPROM
t             res     1
t0            res     1
t1            res     1
t2            res     1
w             res     1
width         res     1
bt            res     1
first         res     1
n             res     1
data          res     1
prev          res     1
ptr           res     1
limit         res     1
least         res     1
gs            res     1
gd            res     1
gl            res     1
gc            res     1
#endif
rx            res     4 * 28 + 7
#ifndef EEPROM
rxl           res     28                          ' the length byte, taken by both
rxf           res     4 * 27                      ' a long
t             res     1
t0            res     1
t1            res     1
t2            res     1
w             res     1
width         res     1
bt            res     1
first         res     1
n             res     1
data          res     1
prev          res     1
ptr           res     1
limit         res     1
least         res     1
gs            res     1
gd            res     1
gl            res     1
gc            res     1
fwait         res     1
k             res     1
nextj         res     1
#endif
              fit     496

'===================================================================================================
' The talker
'===================================================================================================
              org     0
talker        jmp     #prologue                   ' run once, where the variables go

'--- before the image: hello (the host times the chip's clock by it), rate, query and begin ---------
idle          mov     obase, ctlbase
              mov     olimit, #2                  ' a trailer and its check
              call    #exchange
              mov     ap, #0
              mov     ac, #ANS_NOT_TAKEN
              mov     av, #WHY_CHECK
        if_c  jmp     #idle
              mov     av, #WHY_NOT_NOW
              mov     u1, trailer
              and     u1, #$FF
              cmp     u1, #MSG_HELLO wz           ' hello: the host times the chip's clock by it
        if_z  mov     ac, #ANS_HELLO
        if_z  mov     av, hwidth
              cmp     u1, #MSG_QUERY wz
        if_z  mov     ac, #ANS_IDLE
        if_z  mov     av, #0
              cmp     u1, #MSG_BEGIN wz
        if_z  jmp     #begin
#ifndef EEPROM
              cmp     u1, #MSG_CLOCK wz
        if_z  jmp     #clock
#endif
              cmp     u1, #MSG_RATE wz
        if_z  call    #rate
              jmp     #idle

' rate: the next sync may be as short as the host says
rate          mov     ac, #ANS_RATE
              mov     av, trailer
              shr     av, #8
              mov     floor, av
rate_ret      ret

#ifndef EEPROM
' clock: to the crystal's PLL, whose oscillator the pilot started long enough ago. Answered first, at
' the bit time the RC clock gave the message; the next sync then by the host's floor in the new
' clock's counts. The image's start finds the oscillator settled, and its header's arrival leaves
' the clock register alone.
clock         mov     ac, #ANS_CLOCK
              mov     av, trailer
              shr     av, #8
              call    #answer
              mov     oscmode, av
              and     oscmode, #$78
              mov     oscat, cnt                  ' settled: the start waits for no more
              mov     osc, oscskip
              clkset  av
              shr     av, #8
              mov     floor, av
              mov     ac, #0
              jmp     #idle
#endif

begin         mov     len, trailer
              shr     len, #16                    ' longs in the image
              mov     flags, trailer
              shr     flags, #8
              and     flags, #$FF
              mov     ap, #0
              mov     av, len
              mov     ac, #ANS_NO_BEGIN
              cmp     len, #MIN_LONGS wc          ' not even a header
        if_nc cmp     maxlongs, len wc            ' or a last trailer on the longs the cogs talk
        if_c  jmp     #idle                       ' through
#ifndef EEPROM
              test    flags, #FLAG_EEPROM wz      ' no EEPROM in this build
        if_nz jmp     #idle
#endif
              mov     ac, #ANS_BEGUN
              mov     seq, #0
              mov     left, len
              mov     isum, #0
              neg     icrcok, #1

'--- the image, in packets of 255 longs at 1020 bytes each ------------------------------------------
packet        mov     obase, len                  ' 1020 seq: the longs that came before
              sub     obase, left
              shl     obase, #2
              mov     dl, left                    ' the data longs packet seq carries
              max     dl, #PACKET_LONGS
#ifdef EEPROM
              mov     u1, flags                   ' the EEPROM's cog may write every page below
              shl     u1, #16                     ' the packet now ordered: all came in packets
              or      u1, obase                   ' whose check held
              wrlong  u1, feedat
#endif
              mov     olimit, m1                  ' the data and trailer below the mailbox, the
              sub     olimit, obase               ' check into it: the largest image's last
              shr     olimit, #2                  ' trailer lies just below
              max     olimit, #PACKET_LONGS + 2
              call    #exchange
              mov     ap, seq
              mov     ac, #ANS_NOT_TAKEN
        if_c  jmp     #:bad
              mov     u2, trailer
              and     u2, #$FF
              mov     u1, #1                      ' the longs stored: the trailer, after the
              cmp     u2, #MSG_DATA wz            ' packet's data; no other message has data
        if_z  add     u1, dl
              mov     av, #WHY_LENGTH
              cmp     nlongs, u1 wz
        if_nz jmp     #packet
              mov     av, #WHY_NOT_NOW
              cmp     u2, #MSG_BEGIN wz
        if_z  jmp     #begin                      ' its answer was lost: again from packet 0
              cmp     u2, #MSG_QUERY wz
        if_z  jmp     #:query
              cmp     u2, #MSG_RATE wz            ' a slower rate for the rest of the image
        if_z  call    #rate
        if_z  jmp     #packet
              cmp     u2, #MSG_DATA wz
        if_nz jmp     #packet
              mov     u1, len                     ' the trailer packet seq must carry
              shl     u1, #16
              mov     u2, seq
              shl     u2, #8
              or      u1, u2
              or      u1, #MSG_DATA
              mov     av, #WHY_PACKET             ' another packet than this one
              cmp     trailer, u1 wz
        if_nz jmp     #packet
              add     isum, msum                  ' the image's bytes
              mov     icrcok, icrc
              mov     ac, #ANS_ACCEPTED
              add     seq, #1
              mov     av, seq
              sub     left, dl wz                 ' more to come
        if_nz jmp     #packet
              call    #answer                     ' the last one's; the receiver gets no order
              jmp     #finish
:bad          mov     av, #WHY_CHECK              ' the check failed; the length too, unless it
              mov     u1, dl                      ' was a packet's or a short message's
              add     u1, #1
              cmp     nlongs, u1 wz
        if_nz cmp     nlongs, #1 wz
        if_nz mov     av, #WHY_LENGTH
              jmp     #packet
:query        mov     ac, #ANS_BEGUN
              mov     av, len
              cmp     seq, #0 wz
        if_z  jmp     #packet
              mov     ac, #ANS_ACCEPTED
              mov     ap, seq
              sub     ap, #1
              mov     av, seq
              jmp     #packet

'--- the whole image is in: the ROM's own check, the EEPROM, pbase, the proof --------------------
finish        mov     u1, len                     ' zeros above the image, the mailbox too
              shl     u1, #2
              mov     u2, ramlongs
              sub     u2, len
:zero         wrlong  zero, u1
              add     u1, #4
              djnz    u2, #:zero
              rdword  dbase, #10                  ' the stack markers below dbase
              mov     u1, dbase
              sub     u1, #8
              call    #stackmark
              call    #stackmark
              mov     av, isum                    ' all 32 KB sum to 0 mod 256: the image's bytes as
              and     av, #$FF wz                 ' the checker read them, zeros, markers
              mov     ac, #ANS_SUM_WRONG
        if_nz jmp     #verdict
#ifdef EEPROM
              test    flags, #FLAG_EEPROM wz
        if_z  jmp     #:run
              rdlong  pm0, m0                     ' the EEPROM's cog writes the rest, the header's
              mov     u2, hbt                     ' page last, and answers meanwhile
              or      u2, eeorder
              andn    dira, txmask
              wrlong  u2, m0
:program      rdlong  u1, m0
              mov     u2, u1
              shr     u2, #29
              cmp     u2, #1 wz
        if_nz jmp     #:program
              or      dira, txmask
              wrlong  pm0, m0
              mov     ac, u1
              shr     ac, #16
              and     ac, #$FF wz
              mov     av, u1
              and     av, #$1FF
        if_nz jmp     #verdict
              test    flags, #FLAG_RUN wz         ' programmed, not to run: pbase is no matter
        if_z  jmp     #:proof
#endif
:run          rdword  av, #6                      ' pbase: the ROM starts nothing else
              mov     ac, #ANS_NO_START
              cmp     av, #START_PBASE wz
        if_nz jmp     #verdict
:proof        mov     cr, icrcok                  ' the CRC of RAM as it will start: the image,
              mov     zn, dbase                   ' zeros, the markers, zeros
              sub     zn, #8
              mov     u1, len
              shl     u1, #2
              sub     zn, u1
              call    #zeros
              xor     cr, marker
              call    #nib8
              xor     cr, marker
              call    #nib8
              mov     zn, ramtop
              sub     zn, dbase
              call    #zeros
              mov     av, cr
              xor     av, allones
              mov     ac, #ANS_PROVEN

'--- the verdict, held until the host says go ------------------------------------------------------
verdict       mov     vac, ac
              mov     vav, av
              rdlong  pctl, ctlbase               ' the picture's values where messages land now
              rdlong  pm0, m0
              rdlong  pm1, m1
              mov     ap, #0                      ' no packet expected: answers name none
:held         mov     obase, ctlbase
              mov     olimit, #2
              call    #exchange
              mov     ac, #ANS_NOT_TAKEN
              mov     av, #WHY_CHECK
        if_c  jmp     #:held
              mov     av, #WHY_NOT_NOW
              mov     u1, trailer
              and     u1, #$FF
              cmp     u1, #MSG_QUERY wz
        if_z  mov     ac, vac
        if_z  mov     av, vav
              cmp     u1, #MSG_STOP wz            ' stop: as go, but to a chip shut down, which
        if_z  mov     vac, #0                     ' no verdict but V starts
        if_nz cmp     u1, #MSG_GO wz
        if_nz jmp     #:held
              mov     av, trailer                 ' after the delay the host asked for, in
              shr     av, #8                      ' units of 256 clocks
              mov     deadline, av
              shl     deadline, #GO_SHIFT
              add     deadline, cnt
              mov     ac, #ANS_GOING
:count        mov     expiry, #1                  ' anything the host says meanwhile: "G" again
              call    #exchange
              tjz     expiry, #:count

'--- the start, as the ROM's: cog 0 restarted as the Spin interpreter, or the chip shut down --------
              mov     u1, #0
              cogstop u1                          ' the receiver
              mov     u1, #2                      ' and cog 2: the second receiver, or the
              cogstop u1                          ' EEPROM's cog
              wrlong  pctl, ctlbase
              wrlong  pm0, m0
              wrlong  pm1, m1
              cmp     vac, #ANS_PROVEN wz
#ifndef EEPROM
        if_nz clkset  zero                        ' the RC clock alone, as after a reset: the
                                                  ' oscillator packet 0 started stops
#endif
        if_nz jmp     #stop
#ifdef EEPROM
              test    flags, #FLAG_EEPROM wz
        if_nz test    flags, #FLAG_RUN wz
        if_z  jmp     #stop
#endif
              rdbyte  u1, #4                      ' the clock mode: the oscillator and PLL first
              mov     u2, u1
              andn    u2, #7
              clkset  u2
#ifndef EEPROM
              mov     u3, u1
              and     u3, #$78
              cmp     u3, oscmode wz              ' not as the header's first arrival started them
        if_nz mov     oscat, cnt                  ' (it was damaged): the whole wait
#endif
              test    u2, #$60 wz                 ' something to settle: 20 ms at the fastest RC
#ifdef EEPROM
        if_nz mov     u3, cnt                     ' the EEPROM's seconds leave these 33 ms to the
        if_nz add     u3, settle                  ' end (and the talker no room to save them)
        if_nz waitcnt u3, #0
#else
        if_nz mov     u3, oscat                   ' settling since the header came: what is left,
        if_nz add     u3, settle                  ' when it is enough for waitcnt to catch its count
        if_nz mov     ct2, u3
        if_nz sub     ct2, cnt
        if_nz sub     ct2, #64
        if_nz cmp     ct2, settle wc
   if_nz_and_c waitcnt u3, #0
#endif
              clkset  u1
              coginit interpreter                 ' cog 0 restarts as the Spin interpreter
stop          cogid   u1
              cogstop u1

#ifndef EEPROM
' osc: the clock mode's oscillator and PLL (in u3's low byte) started as soon as the header comes,
' as the ROM's launch would start them, on the RC clock still, so that they settle while the rest
' of the image comes; a reset the mode asks for waits for the start. Packet 0 may prove damaged:
' the start then compares.
osc           mov     ct2, u3
              and     ct2, #$78
              cmp     ct2, oscmode wz
        if_nz clkset  ct2
        if_nz mov     oscat, cnt
              mov     oscmode, ct2
osc_ret       ret
oscskip       jmp     #osc_ret
#endif

' a stack marker at u1, in the sum instead of what was there; none beyond RAM
stackmark     cmp     u1, ramtop wc
        if_c  rdlong  u3, u1
        if_c  call    #bytesum
        if_c  sub     isum, u2
        if_c  wrlong  marker, u1
        if_c  add     isum, #MARKER_SUM
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
' CRC-32, reflected ($EDB88320), in cr. nib8: a long xored into cr beforehand, a nibble a turn;
' nibn: cn nibbles.
'---------------------------------------------------------------------------------------------------
nib8          mov     cn, #8
nibn          mov     ct2, cr
              and     ct2, #15
              add     ct2, #crctab
              movs    :x, ct2
              shr     cr, #4
:x            xor     cr, 0-0
              djnz    cn, #nibn
nib8_ret
nibn_ret      ret

' zeros: cr advanced over zn zero bytes, multiplied by x^(8 zn) modulo the polynomial: a few
' thousand clocks where reading 32 KB of zeros through the table would take a tenth of a second
zeros         mov     zp, bit31                   ' x^0
              mov     zs, x8                      ' x^8, squared at every bit of zn
:bit          shr     zn, #1 wc
        if_nc jmp     #:square
              mov     ma, zs
              mov     mb, zp
              call    #multmod
              mov     zp, mp
:square       tjz     zn, #:apply
              mov     ma, zs
              mov     mb, zs
              call    #multmod
              mov     zs, mp
              jmp     #:bit
:apply        mov     ma, zp
              mov     mb, cr
              call    #multmod
              mov     cr, mp
zeros_ret     ret

' mp = ma x mb modulo the polynomial, reflected: ma's bit 31 is x^0
multmod       mov     mp, #0
              mov     mc, #32
:bit          shl     ma, #1 wc
        if_c  xor     mp, mb
              shr     mb, #1 wc
        if_c  xor     mb, poly
              djnz    mc, #:bit
multmod_ret   ret

'---------------------------------------------------------------------------------------------------
' exchange: order the receiver to take the next message (at most olimit longs at obase, with the
' sync floor), answer the last one (ac, unless 0), then check the message as it arrives: one CRC-32
' a long, going on from the image's (icrcok) over its data (icrc, the image's with it), then over
' its trailer, or the trailer's own CRC when no data came. Returns C set
' when the check failed, the trailer (the long before the check), nlongs (the longs stored, the
' trailer's included), msum (the sum of the bytes of those before the trailer), hwidth (its sync's 4 bit times) and
' hbt, its bit time; a good message sets the next floor at 2.5 of its bit times. With expiry set,
' gives up when deadline has passed before the message begins, with expiry left set.
'---------------------------------------------------------------------------------------------------
exchange      wrlong  floor, m1
              mov     u1, olimit
              shl     u1, #16
              or      u1, obase
              or      u1, goflag
              wrlong  u1, m0
              cmp     ac, #0 wz
        if_nz call    #answer
              mov     crp, obase
              mov     cr, icrcok                  ' a packet's check goes on from the image's CRC
              mov     pend, #0
              mov     csum, #0
:run          rdlong  u1, m0
              test    u1, goflag wz               ' still the order: nothing has come yet
        if_z  jmp     #:come
              tjz     expiry, #:run
              mov     u2, cnt
              sub     u2, deadline
              cmps    u2, #0 wc
        if_c  jmp     #:run
              jmp     exchange_ret
:come         mov     expiry, #0
              mov     u2, u1
              and     u2, ramtop4
:catch        cmp     crp, u2 wz
        if_z  jmp     #:caught
              rdlong  u3, crp
              add     crp, #4
#ifndef EEPROM
              cmp     crp, #8 wz                  ' long 1 at hub 4: packet 0's clock mode
        if_z  call    #osc
#endif
              tjz     pend, #:first
              xor     cr, pendv                   ' the long before: the image's, unless it turns
              call    #nib8                       ' out to be the trailer
              mov     ct2, pendv                  ' and in the sum of its bytes
              mov     cn, #3
:bytes        add     csum, ct2
              shr     ct2, #8
              djnz    cn, #:bytes
              add     csum, ct2
:first        mov     pend, #1
              mov     pendv, u3
              jmp     #:catch
:caught       test    u1, endflag wz              ' the end of the message
        if_z  jmp     #:run
              mov     hwidth, u1
              shr     hwidth, #16
              mov     hbt, hwidth
              add     hbt, #SYNC_BITS / 2
              shr     hbt, #SYNC_SHIFT
              mov     hbt3, hbt
              shl     hbt3, #1
              add     hbt3, hbt
              mov     nlongs, crp
              sub     nlongs, obase
              shr     nlongs, #2
              mov     trailer, pendv
              mov     msum, csum
              mov     icrc, cr                    ' the image's, before the trailer
              cmp     nlongs, #1 wz               ' no data: the message's own CRC
        if_z  neg     cr, #1
              xor     cr, pendv
              call    #nib8
              rdlong  u3, m1
              xor     u3, cr
              xor     u3, allones                 ' the host sends the CRC's complement
              cmp     zero, u3 wc
        if_c  jmp     exchange_ret
              mov     floor, hbt
              shr     floor, #1
              add     floor, hbt
              add     floor, hbt
              cmp     zero, zero wc
exchange_ret  ret

'---------------------------------------------------------------------------------------------------
' answer: eight bytes at the last message's rate: code ac, packet ap, value av, and the low half of
' the CRC-32 of those six bytes. Each byte gets four stop bits: the time to make the next frame.
'---------------------------------------------------------------------------------------------------
answer        mov     fa, ap
              and     fa, #$FF
              shl     fa, #8
              or      fa, ac
              mov     u1, av
              shl     u1, #16
              or      fa, u1
              mov     fb, av
              shr     fb, #16
              neg     cr, #1
              xor     cr, fa
              call    #nib8
              xor     cr, fb
              mov     cn, #4
              call    #nibn
              xor     cr, allones
              shl     cr, #16
              or      fb, cr
              mov     ab, #8
              mov     ans, fa
#ifndef EEPROM
              cmp     hbt, #14 wc                 ' C: the line's at 12 clocks a bit
#endif
#ifndef EEPROM
              jmp     #:go
:fast         nop                                 ' 12 clocks a bit, by the instructions' own time:
:fbit         shl     phsa, #1                    ' a waitcnt has no room (out of the slow loop's
              nop                                 ' way, which at 15 clocks a bit has no room for
              djnz    cb, #:fbit                  ' a jump either)
              add     ct, #9 * 12 + 32            ' and time to make the next frame
              jmp     #:stop
:go
#endif
              mov     ct, cnt
              add     ct, #32
:byte         mov     u1, ans                     ' start bit, data from bit 30 down, stop bits
              rev     u1, #24
              shl     u1, #23
              or      u1, stopbits
              mov     cb, #9
              waitcnt ct, hbt
              mov     phsa, u1                    ' the start bit
#ifndef EEPROM
        if_c  jmp     #:fast
#endif
:bit          waitcnt ct, hbt                     ' bits 0 to 7 and the first stop bit, no more
              shl     phsa, #1                    ' than two instructions between waits
              djnz    cb, #:bit
:stop         add     ct, hbt3                    ' the other three change nothing on the line
              shr     ans, #8
              cmp     ab, #5 wz
        if_z  mov     ans, fb
              djnz    ab, #:byte
              waitcnt ct, #0
answer_ret    ret

crctab        long    $0000_0000, $1DB7_1064, $3B6E_20C8, $26D9_30AC   ' the CRC, a nibble at a time
              long    $76DC_4190, $6B6B_51F4, $4DB2_6158, $5005_713C
              long    $EDB8_8320, $F00F_9344, $D6D6_A3E8, $CB61_B38C
              long    $9B64_C2B0, $86D3_D2D4, $A00A_E278, $BDBD_F21C
txmask        long    |< TX_PIN
txcounter     long    %00100 << 26 | TX_PIN       ' NCO, single-ended: the pin is phsa[31]
m0            long    MAILBOX
m1            long    MAILBOX + 4
ctlbase       long    MAILBOX - 8                 ' where messages land before and after the image
maxlongs      long    MAX_LONGS
ramtop        long    RAM_TOP
ramtop4       long    RAM_TOP - 1
endflag       long    RAM_TOP
ramlongs      long    RAM_TOP / 4
goflag        long    $8000_0000
allones       long    $FFFF_FFFF
poly          long    $EDB8_8320
bit31         long    $8000_0000
x8            long    1 << (31 - 8)
stopbits      long    $007F_FFFF
marker        long    STACK_MARKER
zero          long    0
settle        long    SETTLE_CLOCKS               ' 20 ms at 20 MHz
interpreter   long    ($0004 >> 2) << 18 | ($F004 >> 2) << 4   ' PAR $0004, code $F004, cog 0

#ifdef EEPROM
eeorder       long    $4000_0000
feedat        long    FEED
#endif

'--- run once, then overwritten by the variables, so last but them: none it writes is among its own -
prologue      mov     ctra, txcounter             ' P30 is phsa's top bit: shifted out a bit a turn
              neg     phsa, #1
              or      dira, txmask
              mov     ac, #0                      ' nothing to answer yet
              mov     expiry, #0
#ifndef EEPROM
              mov     oscmode, #0                 ' the RC clock alone
#endif
              rdlong  floor, #0                   ' at most 216: above a late 0xF9's pulses at
                                                  ' 230400 baud on a 20 MHz chip, below a 115200
                                                  ' sync at 8 MHz
              jmp     #idle

              org     prologue

u1            res     1
u2            res     1
u3            res     1
ap            res     1
av            res     1
ans           res     1
ab            res     1
fa            res     1
fb            res     1
ac            res     1
ct            res     1
cb            res     1
cn            res     1
ct2           res     1
crp           res     1
cr            res     1
icrc          res     1
icrcok        res     1
pend          res     1
pendv         res     1
csum          res     1
msum          res     1
hwidth        res     1
hbt           res     1
hbt3          res     1
floor         res     1
trailer       res     1
nlongs        res     1
obase         res     1
olimit        res     1
len           res     1
flags         res     1
seq           res     1
left          res     1                           ' the image's longs from packet seq on
dl            res     1
isum          res     1
dbase         res     1
vac           res     1
vav           res     1
pctl          res     1
pm0           res     1
pm1           res     1
deadline      res     1
expiry        res     1
zn            res     1
zp            res     1
zs            res     1
ma            res     1
mb            res     1
mp            res     1
mc            res     1
oscat         res     1
#ifndef EEPROM
oscmode       res     1                           ' the oscillator bits started, at oscat
#endif
              fit     496

#ifdef EEPROM
'===================================================================================================
' The EEPROM's cog, cog 2
'===================================================================================================
' Started with the stage, before the image overwrites the stage's code in hub RAM, it makes the
' 24xx256 on P28/P29 equal to the RAM picture page by page, as soon as each page may be written.
' While the image comes, the talker's feed (the long below the mailbox: begin's flags << 16 | the
' address of the packet it has ordered) says how far every byte came in a packet whose check held;
' no image's data reaches it, and the largest image's last trailer there is no feed (bits 24..31).
' The pages of the rest of the picture (the zeros, the stack markers, the mailbox) and page 0, the
' header's, wait for the talker's order in m0 once the whole image is proven (%01 in bits 31..30,
' the answers' bit time below): the cog then answers on the line while it writes the rest, and
' leaves its result in m0 for the talker: bit 29, the failure's code << 16 (0: done) and the page.
' A failure while the image comes is held until that order; the talker reports it.
'
' Each page: its two address bytes and 64 data bytes from cog RAM, the next page's read from hub
' RAM while the EEPROM writes, acknowledge polling, then read back and compared. The I2C bit takes
' the chip's MHz x 2.5 clocks (400 kHz, the 24xx256's fastest), and at least the bodies' own 30:
' between two waitcnts a body takes at most 24 clocks, so that the bytes follow each other without
' a gap, SCL high for 3 instructions (0.6 us at 20 MHz) and low for the rest (1.5 us at 12 MHz).
'---------------------------------------------------------------------------------------------------
              org     0
eeprom        wrlong  ezero, efeed                ' what a load before left there is no feed
              or      outa, escl                  ' the bus idle: SCL driven high, SDA pulled up
              or      dira, escl
:page         mov     elp, ep
              call    #eawait                     ' until page ep may be written
              tjnz    eready, #:write
              mov     elb, ecur
              call    #eload
:write        mov     eready, #0
              mov     epg, ep
              and     epg, #PAGES - 1
              mov     erc, #ANS_NO_ACK
              call    #i2cstart
              mov     ew, #$A0
              movs    wld, ecur
              mov     ek, #PAGE_BYTES + 3         ' the device, the address, the page
              call    #wbytes
              call    #i2cstop
        if_nz jmp     #efailed
              mov     elp, ep                     ' while the EEPROM writes: the next page's
              add     elp, #1                     ' bytes, when they have come
              call    #eproven
        if_nc mov     elb, enxt
        if_nc call    #eload
        if_nc mov     eready, #1
              mov     ec, epolls                  ' written once it answers its address again,
:poll         call    #i2cstart                   ' which then goes on as the read's address
              mov     ew, #$A0
              movs    wld, ecur
              mov     ek, #3
              call    #wbytes
        if_nz call    #i2cstop
        if_nz djnz    ec, #:poll
        if_nz jmp     #efailed
              call    #i2crestart
              mov     ew, #$A1
              mov     ek, #1
              call    #wbytes
        if_nz call    #i2cstop
        if_nz jmp     #efailed
              movs    rcmp, ecur                  ' the page's bytes, after rbytes' first add
              add     rcmp, #1
              mov     ek, #PAGE_BYTES
              call    #rbytes
              call    #i2cstop
              mov     erc, #ANS_READ_WRONG
              tjnz    edif, #efailed
              add     edone, #1
              mov     et2, ecur                   ' the next page's buffer
              mov     ecur, enxt
              mov     enxt, et2
              add     ep, #1
              cmp     edone, epages wz
        if_z  jmp     #report
              test    edone, #PROGRESS_PAGES - 1 wz
        if_z  tjz     efinal, #:page              ' told only once this cog has the line
        if_z  mov     eac, #ANS_PROGRESS
        if_z  mov     eav, edone
        if_z  call    #eanswer
              jmp     #:page

' efailed: page epg, code erc; held until the talker's order, then reported
efailed       shl     erc, #16
              or      erc, epg
              mov     efail, erc
              mov     elp, epages                 ' page 0: eawait returns only on the order
:hold         tjnz    efinal, #report
              call    #eawait
              jmp     #:hold

report        tjnz    efail, #:out
              mov     eac, #ANS_WRITTEN
              mov     eav, edone
              call    #eanswer
:out          or      efail, edone29
              andn    dira, etxmask
              wrlong  efail, em0
              cogid   et
              cogstop et

' eawait: until page elp may be written, taking the talker's order when it comes
eawait        tjnz    efinal, #:proven
              rdlong  ev, em0
              mov     et2, ev
              shr     et2, #30
              cmp     et2, #%01 wz
        if_z  call    #takeover
:proven       call    #eproven
        if_c  jmp     #eawait
eawait_ret    ret

' eproven: C clear when page elp may be written: the whole image is in, or the feed's packets hold
' it, below the stack markers. Sets the I2C bit time from the feed's MHz.
eproven       cmp     efinal, #1 wc
        if_nc jmp     eproven_ret
              rdlong  ev, efeed
              cmp     efeedtop, ev wc             ' a trailer there, or leftovers: no feed
        if_nc test    ev, eflag wz                ' no EEPROM asked
   if_nc_and_z cmp    ezero, #1 wc
        if_c  jmp     eproven_ret
              mov     eper, ev
              shr     eper, #16 + MHZ_SHIFT
              and     eper, #$3F
              mov     et2, eper
              shl     eper, #2
              add     eper, et2
              add     eper, #1
              shr     eper, #1                    ' 2.5 clocks a MHz, rounded up: 400 kHz
              min     eper, #I2C_LEAST
              and     ev, elow16
              rdword  et2, #10                    ' the markers below dbase come with the rest
              sub     et2, #8
              max     ev, et2
              mov     et2, elp
              add     et2, #1
              shl     et2, #PAGE_SHIFT
              cmp     ev, et2 wc                  ' C: not all of the page has come
eproven_ret   ret

' takeover: the talker's order (in ev): the line's bit time; m0 its picture value, a stack marker or
' zero, before the last page is read; the line taken, and the pages so far told
takeover      mov     ebt, ev
              and     ebt, elow16
              mov     ebt3, ebt
              shl     ebt3, #1
              add     ebt3, ebt
              rdword  et2, #10
              sub     et2, #8
              mov     et, #0
              cmp     et2, em0 wz
        if_nz add     et2, #4
        if_nz cmp     et2, em0 wz
        if_z  neg     et, emarker6
              wrlong  et, em0
              mov     ctra, etxcounter
              neg     phsa, #1
              or      dira, etxmask
              mov     efinal, #1
              tjnz    efail, #report
              mov     eac, #ANS_PROGRESS
              mov     eav, edone
              call    #eanswer
takeover_ret  ret

' eload: page elp's address and bytes into the buffer at elb
eload         mov     ea, elp
              and     ea, #PAGES - 1
              shl     ea, #PAGE_SHIFT
              mov     ev, ea
              shr     ev, #8
              movd    :hi, elb
              movd    :lo, elb
              add     :lo, edinc
              movd    :byte, elb
              add     :byte, edinc2
              mov     ek, #PAGE_BYTES
:hi           mov     0-0, ev
              mov     ev, ea
              and     ev, #$FF
:lo           mov     0-0, ev
:byte         rdbyte  0-0, ea
              add     ea, #1
              add     :byte, edinc
              djnz    ek, #:byte
eload_ret     ret

' i2cstart, i2crestart and i2cstop conditions: SDA falls, or rises, while SCL is high
i2cstart      andn    dira, esda
              or      outa, escl
              call    #ewait
              or      dira, esda
              call    #ewait
i2cstart_ret  ret

i2crestart    andn    outa, escl
              andn    dira, esda
              call    #ewait
              or      outa, escl
              call    #ewait
              or      dira, esda
              call    #ewait
i2crestart_ret   ret

i2cstop       andn    outa, escl
              or      dira, esda
              call    #ewait
              or      outa, escl
              call    #ewait
              andn    dira, esda
i2cstop_ret   ret

ewait         mov     et, cnt
              add     et, eper
              waitcnt et, #0
ewait_ret     ret

' wbytes: ek bytes, ew first, then from cog RAM at wld's source on; SCL high at the end. Z set when
' every one was acknowledged; the first that was not ends it. Each stretch between two waitcnts
' takes at most 24 clocks, so that the bit can take 30, and SCL is high for three instructions.
wbytes        test    ew, #0 wz
              mov     et, cnt
              add     et, eper
ws7           andn    outa, escl
              test    ew, #$80 wc
              muxnc   dira, esda                  ' a 0 pulls SDA down, a 1 lets it up
              waitcnt et, eper                    ' bit 7
              or      outa, escl
              test    ew, #$40 wc
        if_nz jmp     #wbytes_ret                 ' the byte before not acknowledged
              andn    outa, escl
              muxnc   dira, esda
              mov     emask, #$20
:bit          waitcnt et, eper                    ' bits 6 to 1
              or      outa, escl
              test    ew, emask wc
              shr     emask, #1 wz
              andn    outa, escl
              muxnc   dira, esda
        if_nz jmp     #:bit
              waitcnt et, eper                    ' bit 0
              or      outa, escl
              test    esda, esda wc               ' C: SDA let go for the acknowledgement
wld           mov     ew, 0-0                     ' the next byte
              andn    outa, escl
              muxnc   dira, esda
              add     wld, #1
              waitcnt et, eper                    ' the acknowledgement
              or      outa, escl
              test    esda, ina wz                ' Z: acknowledged
              djnz    ek, #ws7
wbytes_ret    ret

' rbytes: ek bytes read, each compared with cog RAM at rcmp's source on, all acknowledged but the
' last; edif not 0 when any differs. SCL high at the end. Timed as wbytes.
rbytes        mov     edif, #0 wz
              mov     et, cnt
              add     et, eper
rs7           andn    outa, escl
              andn    dira, esda                  ' the acknowledgement's SDA let go
              mov     eb, #0
              waitcnt et, eper                    ' bit 7
              or      outa, escl
              test    esda, ina wc
              rcl     eb, #1
              andn    outa, escl
        if_nz or      edif, #1                    ' the byte before read back otherwise
              waitcnt et, eper                    ' bit 6
              or      outa, escl
              test    esda, ina wc
              rcl     eb, #1
              andn    outa, escl
              add     rcmp, #1
              mov     ek2, #5
:bit          waitcnt et, eper                    ' bits 5 to 1
              or      outa, escl
              test    esda, ina wc
              rcl     eb, #1
              andn    outa, escl
              djnz    ek2, #:bit
              waitcnt et, eper                    ' bit 0
              or      outa, escl
              test    esda, ina wc
              rcl     eb, #1
              andn    outa, escl
              cmp     ek, #1 wz                   ' acknowledged, but the last
              muxnz   dira, esda
              waitcnt et, eper                    ' the acknowledgement
              or      outa, escl
rcmp          cmp     eb, 0-0 wz
              djnz    ek, #rs7
        if_nz or      edif, #1
rbytes_ret    ret

' eanswer: as the talker's (code eac, packet 0, value eav, the CRC's low half), each byte with four
' stop bits: the time to make the next frame
eanswer       mov     afa, eav
              shl     afa, #16
              or      afa, eac
              mov     afb, eav
              shr     afb, #16
              neg     acrc, #1
              xor     acrc, afa
              mov     ak, #32
:a            shr     acrc, #1 wc
        if_c  xor     acrc, epoly
              djnz    ak, #:a
              xor     acrc, afb
              mov     ak, #16
:b            shr     acrc, #1 wc
        if_c  xor     acrc, epoly
              djnz    ak, #:b
              neg     acrc, acrc                  ' complemented
              sub     acrc, #1
              shl     acrc, #16
              or      afb, acrc
              mov     aab, #8
              mov     aans, afa
              mov     act, cnt
              add     act, #32
:byte         mov     au1, aans
              rev     au1, #24
              shl     au1, #23
              or      au1, estop
              mov     ak, #9
              waitcnt act, ebt
              mov     phsa, au1                   ' the start bit
:bit          waitcnt act, ebt
              shl     phsa, #1
              djnz    ak, #:bit
              add     act, ebt3
              shr     aans, #8
              cmp     aab, #5 wz
        if_z  mov     aans, afb
              djnz    aab, #:byte
              waitcnt act, #0
eanswer_ret   ret

ep            long    1                           ' the page to write: 1 to 511, then 512, page 0
ecur          long    bufa                        ' its buffer
enxt          long    bufb                        ' the next one's
eready        long    0                           ' 1: the next page's bytes are in enxt
efinal        long    0                           ' 1: the whole picture stands
efail         long    0
edone         long    0                           ' pages written and read back right
eper          long    I2C_LEAST
ezero         long    0
efeed         long    FEED
em0           long    MAILBOX
efeedtop      long    $00FF_FFFF
eflag         long    FLAG_EEPROM << 16
elow16        long    $FFFF
edinc         long    1 << 9
edinc2        long    2 << 9
epolls        long    2000                        ' a poll's 11 bits: 5 ms in 180 at 400 kHz
epages        long    PAGES
edone29       long    $2000_0000
emarker6      long    -STACK_MARKER               ' negated: a conditional neg makes it
etxmask       long    |< TX_PIN
etxcounter    long    %00100 << 26 | TX_PIN
epoly         long    $EDB8_8320
estop         long    $007F_FFFF
escl          long    |< SCL_PIN
esda          long    |< SDA_PIN

elp           res     1
elb           res     1
epg           res     1
erc           res     1
ew            res     1
ek            res     1
ec            res     1
eb            res     1
ek2           res     1
emask         res     1
edif          res     1
ea            res     1
ev            res     1
et            res     1
et2           res     1
ebt           res     1
ebt3          res     1
eac           res     1
eav           res     1
afa           res     1
afb           res     1
acrc          res     1
ak            res     1
aab           res     1
aans          res     1
act           res     1
au1           res     1
bufa          res     2 + PAGE_BYTES              ' the address's two bytes, the page's
bufb          res     2 + PAGE_BYTES
              fit     496
#endif
