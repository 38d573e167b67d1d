{{ Kestrup's bootstrap: the pilot (pilot.spin), which the boot ROM carries, takes these longs
   into its cog and jumps to them, and they take the second stage itself at the host's fast rate,
   check it, and start it as the ROM would have. The ROM's line would take the stage's 2 KB in a
   quarter of a second; this line takes it in a twentieth or less.

   Only the DAT section is built (openspin -c): it runs where the pilot puts it, from BOOT_AT on,
   and is BOOT_LONGS long, as the pilot takes it.

   The host's side and the wire are described in loader/stage/bootstrap.h.

   The receiver is the second stage's (stage.spin): each message's sync pulse gives the bit time,
   every byte is sampled from its own start bit, and the byte loop is unrolled at run time. A long
   goes to hub RAM in the stop bits after the first byte of the next, where there is time for it. }}

CON
  RX_PIN     = 31
  TX_PIN     = 30
  ' As the stage's: the first waitcnt comes this early for ina to be read mid-bit.
  LATENCY    = 12
  ' The most longs it takes: more than either build of the stage, few enough that the host's
  ' filler completes a count it damaged in a tenth of a second.
  MAX_LONGS  = 1024                               ' wire: boot::maxLongs
  ' As pilot.spin has them: scripts/make-second-stage checks that they agree.
  BOOT_AT    = 52
  BOOT_LONGS = 144

  ' What the host, propsim's model and the tests know of this code, as loader/wire/wire.h has it:
  ' scripts/check-wire holds every constant marked "wire:" to the name it gives there.
  SYNC_SHIFT      = 2                             ' the sync: start bit and three zeros
  SYNC_BITS       = 1 << SYNC_SHIFT               ' wire: boot::syncBits
  SYNC_LEAST      = 60                            ' wire: stage::minSyncClocks
  HELLO_LONG      = $5555_5555                    ' wire: boot::helloLong
  ANS_HELLO       = "H"                           ' wire: boot::answer::hello
  ANS_LOADED      = "K"                           ' wire: boot::answer::loaded
  ANS_SUM_WRONG   = "X"                           ' wire: boot::answer::sumWrong

PUB none                                          ' a Spin file has one; this one is never run

DAT
              org     BOOT_AT
boot          mov     ctra, txcounter             ' P30 is phsa's top bit: shifted out a bit a turn
              neg     phsa, #1
              andn    outa, txmask                ' the pilot's echo held it high till now
              or      dira, txmask

              mov     gd, #rx                     ' a long's four bytes and what goes between them
              call    #rxbyte
              mov     gs, #rx_gap0
              mov     gl, #2
              call    #emit
              call    #rxbyte
              mov     gs, #rx_gap1
              mov     gl, #1
              call    #emit
              call    #rxbyte
              call    #rxbyte
              mov     gs, #rx_gap3
              mov     gl, #3
              call    #emit

'--- a sync: the start bit and three zeros, 4 bit times ---------------------------------------------
hunt          waitpeq rxmask, rxmask
              waitpne rxmask, rxmask
              mov     t1, cnt
              waitpeq rxmask, rxmask
              mov     w, cnt
              sub     w, t1
              cmp     w, #SYNC_LEAST wc           ' under 15 clocks a bit: faster than the receiver
        if_c  jmp     #hunt
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
              mov     n, #1                       ' the first long: a hello, or the stage's count
              mov     back, #counted
              mov     t0, #1 wz                   ' Z clear: no long before it to store
              jmp     #rx

counted       cmp     prev, hellolong wz
              mov     av, width
        if_z  mov     ac, #ANS_HELLO
        if_z  jmp     #reply
              mov     count, prev                 ' 1 to MAX_LONGS, or it was no count
              cmp     maxlongs, count wc
        if_nc cmp     count, #1 wc
        if_c  jmp     #hunt
              mov     n, count                    ' the stage, then the two sums
              add     n, #2
              mov     ptr, #0
              mov     back, #loaded
              mov     t0, #1 wz
              waitpne rxmask, rxmask              ' a second sync gives the time for all this
              waitpeq rxmask, rxmask
              jmp     #rx

'--- the stage is in: the sums of its longs (the last is still in prev), then the answer -------------
loaded        mov     ptr, #0
              mov     s1, #0
              mov     s2, #0
              mov     n, count
:sum          rdlong  t1, ptr
              add     s1, t1
              add     s2, s1
              add     ptr, #4
              djnz    n, #:sum
              rdlong  t1, ptr                     ' the first sum as sent, above the stage
              wrlong  zero, ptr                   ' where the ROM would have left zero
              mov     ac, #ANS_SUM_WRONG
              cmp     t1, s1 wz
        if_z  cmp     prev, s2 wz
        if_z  mov     ac, #ANS_LOADED
              mov     av, count
reply         call    #answer
              cmp     ac, #ANS_LOADED wz
        if_nz jmp     #hunt
              wrlong  bt, #0                      ' the stage's first floor: its first sync may
                                                  ' come at this rate (long 0 is no Spin's start)
              coginit interpreter                 ' cog 0 restarts as the Spin interpreter

'--- the code copied into the unrolled loop ---------------------------------------------------------
rx_start      waitpne rxmask, rxmask              ' the start bit's edge
              mov     t, cnt
              add     t, first
rx_bit        waitcnt t, bt
              test    rxmask, ina wc
              rcr     data, #1
rx_end        waitpeq rxmask, rxmask              ' past bit 7, should it be 0
rx_gap0 if_z  wrlong  prev, ptr                   ' after byte 0: the long before this one
        if_z  add     ptr, #4
rx_gap1       mov     t0, #0 wz
rx_gap3       mov     prev, data
              djnz    n, #rx
              jmp     back

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

'---------------------------------------------------------------------------------------------------
' answer: four bytes at the sync's rate: code ac and value av (24 bits, low byte first). Each byte
' has four stop bits: time to make the next.
'---------------------------------------------------------------------------------------------------
answer        mov     out, av
              shl     out, #8
              or      out, ac
              mov     bt3, bt
              shl     bt3, #1
              add     bt3, bt
              mov     k, #4
              mov     at, cnt
              add     at, #32
:byte         mov     t0, out                     ' start bit, data from bit 30 down, stop bits
              rev     t0, #24
              shl     t0, #23
              or      t0, stopbits
              mov     j, #9
              waitcnt at, bt
              mov     phsa, t0                    ' the start bit
:bit          waitcnt at, bt                      ' bits 0 to 7 and the first stop bit
              shl     phsa, #1
              djnz    j, #:bit
              add     at, bt3                     ' the other three change nothing on the line
              shr     out, #8
              djnz    k, #:byte
              waitcnt at, #0
answer_ret    ret

rxmask        long    |< RX_PIN
txmask        long    |< TX_PIN
txcounter     long    %00100 << 26 | TX_PIN       ' NCO, single-ended: the pin is phsa[31]
hellolong     long    HELLO_LONG                  ' no two 0 bits together: never a sync
maxlongs      long    MAX_LONGS
stopbits      long    $007F_FFFF
dsone         long    $201
zero          long    0
interpreter   long    ($0004 >> 2) << 18 | ($F004 >> 2) << 4   ' PAR $0004, code $F004, cog 0
              long    0[BOOT_AT + BOOT_LONGS - $]

t             res     1
t0            res     1
t1            res     1
w             res     1
width         res     1
bt            res     1
bt3           res     1
first         res     1
n             res     1
data          res     1
prev          res     1
ptr           res     1
back          res     1
count         res     1
s1            res     1
s2            res     1
ac            res     1
av            res     1
out           res     1
at            res     1
j             res     1
k             res     1
gs            res     1
gd            res     1
gl            res     1
gc            res     1
rx            res     4 * 28 + 6
              fit     496
