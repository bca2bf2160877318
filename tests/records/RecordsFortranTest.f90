! Calls srtfva_, srtfpk_ and srtfup_ the way the host's Fortran code does:
! external names with a trailing underscore, INTEGER(8) and LOGICAL(8)
! scalars, every argument by reference. Plans a record for a numeric and a
! string key, packs a few rows plain and compressed, unpacks them, and stops
! with a non-zero code when anything differs.
program records_fortran_test
  implicit none

  interface
    integer(8) function srtfva(nkeys, keys, keylst, map, nmap, nkmap, keywid, widraw, &
                               rearr, fill)
      integer(8), intent(in) :: nkeys, keys(*), widraw
      integer(8), intent(inout) :: keylst(*), map(*)
      integer(8), intent(out) :: nmap, nkmap, keywid
      logical(8), intent(in) :: rearr, fill
    end function srtfva
    subroutine srtfpk(row, rec, hdrval, map, keylst, nmap, nkmap, flags)
      real(8), intent(in) :: row(*), hdrval
      real(8), intent(inout) :: rec(*)
      integer(8), intent(in) :: map(*), keylst(*), nmap, nkmap, flags
    end subroutine srtfpk
    subroutine srtfup(rec, row, map, keylst, nmap, nkmap, flags)
      real(8), intent(inout) :: rec(*), row(*)
      integer(8), intent(in) :: map(*), keylst(*), nmap, nkmap, flags
    end subroutine srtfup
  end interface

  integer(8), parameter :: nkeys = 2, widraw = 6
  ! Key 1: numeric at unit 5, ascending; key 2: 12 bytes at unit 2, descending.
  integer(8) :: keys(nkeys, 3)
  integer(8), allocatable :: map(:)
  integer(8) :: keylst(3 * (nkeys + 1))
  integer(8) :: nmap, nkmap, keywid, flags, length
  integer(8), parameter :: expected_map(10) = [2_8, 2_8, 5_8, 1_8, 1_8, 1_8, 4_8, 1_8, 6_8, 1_8]
  integer(8), parameter :: expected_keylst(9) = [3_8, 0_8, 1_8, 1_8, 12_8, -1_8, 1_8, -1_8, 1_8]
  real(8) :: rows(widraw, 3), rec(16), back(widraw), header
  character(len=16) :: text
  integer :: r, f

  keys(:, 1) = [5_8, 2_8]
  keys(:, 2) = [1_8, -1_8]
  keys(:, 3) = [0_8, 12_8]

  ! First call sizes the map, second fills it.
  keylst = -9
  allocate (map(2))
  map = -9
  if (srtfva(nkeys, keys, keylst, map, nmap, nkmap, keywid, widraw, .true._8, .false._8) /= 0) stop 1
  if (nmap /= 5 .or. nkmap /= 2 .or. keywid /= 3) stop 2
  if (any(map /= -9) .or. any(keylst /= -9)) stop 3
  deallocate (map)
  allocate (map(2 * nmap))
  if (srtfva(nkeys, keys, keylst, map, nmap, nkmap, keywid, widraw, .true._8, .true._8) /= 0) stop 4
  if (any(map /= expected_map)) stop 5
  if (any(keylst /= expected_keylst)) stop 6

  ! An invalid key: direction 0.
  keys(1, 2) = 0
  if (srtfva(nkeys, keys, keylst, map, nmap, nkmap, keywid, widraw, .true._8, .true._8) /= 10) stop 7
  if (nmap /= 0 .or. any(map /= expected_map)) stop 8
  keys(1, 2) = 1
  if (srtfva(nkeys, keys, keylst, map, nmap, nkmap, keywid, widraw, .true._8, .true._8) /= 0) stop 9

  ! Rows: unit 1 payload, units 2-3 the string key, unit 4 payload, unit 5 the
  ! numeric key, unit 6 payload.
  rows(:, 1) = [1.0_8, 0.0_8, 0.0_8, 0.5_8, 42.0_8, -99.0_8]
  rows(:, 2) = [-huge(1.0_8), 0.0_8, 0.0_8, 151.0_8, -0.0_8, 3.5_8]
  rows(:, 3) = [0.0_8, 0.0_8, 0.0_8, 2.0_8, 1.0e300_8, 7.0_8]
  rows(2:3, 1) = transfer('AB              ', 0.0_8, 2)
  rows(2:3, 2) = transfer('HELLO WORLD!tail', 0.0_8, 2)
  rows(2:3, 3) = transfer('                ', 0.0_8, 2)
  rows(6, 3) = transfer('eight ch', 0.0_8)

  do f = 0, 1
    flags = f
    do r = 1, 3
      rec = 0.0_8
      header = real(100 * f + r, 8)
      call srtfpk(rows(:, r), rec, header, map, keylst, nmap, nkmap, flags)
      length = transfer(rec(1), 0_8)
      if (f == 0 .and. length /= 2 + widraw) stop 10
      if (f == 1 .and. (length < 2 + 3 + 1 .or. length > 2 + 3 + 1 + 3)) stop 11
      if (rec(2) /= header) stop 12
      ! The string key lies at data units 1-2, trimmed.
      text = transfer(rec(3:4), text)
      if (r == 1 .and. text /= 'AB' // char(0) // repeat(' ', 13)) stop 13
      if (r == 2 .and. text /= 'HELLO WORLD!tail') stop 14
      if (r == 3 .and. text /= char(0) // repeat(' ', 15)) stop 15
      back = -1.0_8
      call srtfup(rec, back, map, keylst, nmap, nkmap, flags)
      if (any(transfer(back, 0_8, widraw) /= transfer(rows(:, r), 0_8, widraw))) stop 16
    end do
  end do

  ! Row 1 compressed: 1.0, 0.5 and -99.0 behind the key units: codes 101, 253,
  ! 1 and the literal 0.5.
  flags = 1
  call srtfpk(rows(:, 1), rec, 0.0_8, map, keylst, nmap, nkmap, flags)
  if (transfer(rec(1), 0_8) /= 7) stop 17
  if (transfer(rec(6), 'abcdefgh') /= char(101) // char(253) // char(1) // repeat(char(0), 5)) stop 18
  if (rec(7) /= 0.5_8) stop 19
  deallocate (map)
end program records_fortran_test
