! A Fortran host of isort: sorts 200,000 rows through sortfile_ with Fortran
! callback functions, by a string key ascending and a numeric key descending,
! and checks the order that comes back (rows with equal keys in input order).
module sort_host_rows
  implicit none
  integer(8), parameter :: nrows = 200000_8, nunits = 3_8
  ! The last row the put callback saw, and whether every row was in order.
  real(8) :: previous(3)
  logical :: in_order = .true.
contains
  ! An 8-character word for row i, from a small alphabet so that many rows tie.
  function word_of(i) result(word)
    integer(8), intent(in) :: i
    character(len=8) :: word
    integer(8) :: k, r
    r = mod(i * 2654435761_8, 1000003_8)
    do k = 1, 8
      word(k:k) = achar(iachar('a') + int(mod(r, 3_8)))
      r = r / 3
    end do
    if (mod(i, 5_8) == 0) word(5:8) = '    '
  end function word_of
end module sort_host_rows

! Fills row with the next input row; a non-zero result ends the input.
integer(8) function get_row(counts, row, nvars)
  use sort_host_rows
  implicit none
  integer(8), intent(inout) :: counts(2)
  integer(8), intent(in) :: nvars
  real(8), intent(out) :: row(nvars)
  if (counts(1) >= nrows) then
    get_row = 1
    return
  end if
  row(1) = real(counts(1), 8)
  row(2) = transfer(word_of(counts(1)), 0.0d0)
  row(3) = real(mod(counts(1) * 7919_8, 13_8), 8)
  counts(1) = counts(1) + 1
  get_row = 0
end function get_row

! Takes the next sorted row and checks it against the one before.
integer(8) function put_row(counts, row, nvars)
  use sort_host_rows
  implicit none
  integer(8), intent(inout) :: counts(2)
  integer(8), intent(in) :: nvars
  real(8), intent(in) :: row(nvars)
  character(len=8) :: word, before
  word = transfer(row(2), word)
  if (counts(2) > 0) then
    before = transfer(previous(2), before)
    if (lgt(before, word)) then
      in_order = .false.
    else if (before == word) then
      if (previous(3) < row(3)) then
        in_order = .false.
      else if (previous(3) == row(3) .and. previous(1) >= row(1)) then
        in_order = .false.
      end if
    end if
  end if
  if (transfer(word_of(int(row(1), 8)), 0.0d0) /= row(2)) in_order = .false.
  previous = row
  counts(2) = counts(2) + 1
  put_row = 0
end function put_row

program sort_host
  use sort_host_rows
  implicit none
  integer(8), external :: sortfile, get_row, put_row
  ! Key array, column-major: positions, directions, widths.
  integer(8) :: keys(2, 3) = reshape([2_8, 3_8, 1_8, -1_8, 8_8, 0_8], [2, 3])
  integer(8) :: counts(2) = [0_8, 0_8]
  integer(8) :: nkeys = 2, unused = 0, count11 = 7, status
  integer(8) :: flag10 = 1
  status = sortfile(counts, get_row, put_row, nunits, keys, nkeys, unused, unused, unused, &
                    flag10, count11)
  print '(a, i0, a, i0, a, i0, a, l1)', 'status ', status, ', rows in ', counts(1), &
        ', rows out ', counts(2), ', in order ', in_order
  if (status /= 0 .or. counts(1) /= nrows .or. counts(2) /= nrows .or. .not. in_order &
      .or. flag10 /= 0 .or. count11 /= 0) stop 1
end program sort_host
