"""A small month view with selectable days."""

import calendar
import datetime

import customtkinter

WEEKDAYS = ("一", "二", "三", "四", "五", "六", "日")


class CTkCalendar(customtkinter.CTkFrame):
    """Month grid of day buttons with previous/next month navigation.

    ``get_date()`` returns the selected ``datetime.date`` (today at start);
    ``command``, if given, is called with the date a day button selects.
    """

    def __init__(self, master, date=None, command=None, **kwargs):
        super().__init__(master, **kwargs)
        self._cal_selected = date or datetime.date.today()
        self._cal_year, self._cal_month = self._cal_selected.year, self._cal_selected.month
        self._cal_command = command
        self._cal_days = {}
        nav = dict(width=28, fg_color="transparent", hover_color=("gray75", "gray30"),
                   text_color=("gray10", "#DCE4EE"))
        customtkinter.CTkButton(self, text="<", command=lambda: self.show_month(-1),
                                **nav).grid(row=0, column=0)
        self._cal_title = customtkinter.CTkLabel(self, text="")
        self._cal_title.grid(row=0, column=1, columnspan=5)
        customtkinter.CTkButton(self, text=">", command=lambda: self.show_month(1),
                                **nav).grid(row=0, column=6)
        for col, name in enumerate(WEEKDAYS):
            customtkinter.CTkLabel(self, text=name, width=32).grid(row=1, column=col)
        self._draw_month()

    def shown_month(self):
        """(year, month) currently displayed."""
        return self._cal_year, self._cal_month

    def show_month(self, step):
        """Move the view ``step`` months forward (negative: backward)."""
        index = self._cal_year * 12 + self._cal_month - 1 + step
        self._cal_year, self._cal_month = divmod(index, 12)
        self._cal_month += 1
        self._draw_month()

    def _draw_month(self):
        for button in self._cal_days.values():
            button.destroy()
        self._cal_days = {}
        self._cal_title.configure(text=f"{self._cal_year} 年 {self._cal_month} 月")
        weeks = calendar.Calendar(firstweekday=0).monthdayscalendar(self._cal_year, self._cal_month)
        for r, week in enumerate(weeks, start=2):
            for c, day in enumerate(week):
                if day:
                    button = customtkinter.CTkButton(
                        self, text=str(day), width=32, hover_color=("gray75", "gray30"),
                        command=lambda d=day: self.select_day(d))
                    button.grid(row=r, column=c, padx=1, pady=1)
                    self._cal_days[day] = button
        self._cal_highlight()

    def _cal_highlight(self):
        theme = customtkinter.ThemeManager.theme["CTkButton"]
        for day, button in self._cal_days.items():
            chosen = datetime.date(self._cal_year, self._cal_month, day) == self._cal_selected
            button.configure(fg_color=theme["fg_color"] if chosen else "transparent",
                             text_color=theme["text_color"] if chosen else ("gray10", "#DCE4EE"))

    def select_day(self, day):
        """Select ``day`` of the shown month."""
        self._cal_selected = datetime.date(self._cal_year, self._cal_month, day)
        self._cal_highlight()
        if self._cal_command is not None:
            self._cal_command(self._cal_selected)

    def get_date(self):
        """The selected date."""
        return self._cal_selected
